#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct AVFrame;

namespace voxtrellis {

// Turns decoded audio (FFmpeg frames, in whatever sample format, rate and channel layout the
// codec gives) into interleaved PCM of one target format, following the input frame by frame:
// a frame whose channel layout, rate or sample format differs from the one before is converted
// by a resampler made for it, once everything the previous one still held has come out, so the
// output goes on without a gap or a jump when a stream changes its format midway (MP3 files of
// different layouts or rates joined end to end, say). Both the engine's loader and the
// application's player convert through it.
//
// Channels: an input of more than `Target::mixAbove` channels is first mixed here to the mean
// of its channels (summed in channel order in single precision, then multiplied by the
// single-precision reciprocal of the count) and taken as mono; mono output from several
// channels is their mean; one channel goes to every output channel at its own level; other
// layouts are converted as FFmpeg's resampler converts them. Input already in the target
// format is copied as it is.
//
// Not thread-safe: one user at a time.
class AudioFrameConverter {
 public:
  enum class SampleType { float32, int16, int32 };

  struct Target {
    int sampleRate = 16000;  // Hz
    int channelCount = 1;
    SampleType sampleType = SampleType::float32;
    // Inputs of more channels than this are mixed down here (see above).
    int mixAbove = 8;
    // When above 0: an input rate that would have to be raised by more than this factor is
    // refused (a header declaring 1 Hz would make every input frame cost thousands of output
    // frames). 0 takes any rate; the caller then bounds the input it converts at once.
    int maxUpsampling = 0;
  };

  // Converted sound, interleaved in the target format; owned by the converter and valid until
  // its next call.
  struct Output {
    const unsigned char* data = nullptr;
    int frames = 0;
  };

  // Throws AudioConverterError (failedToCreateConverter) for a target without channels or with
  // a rate below 1 Hz.
  explicit AudioFrameConverter(Target target);
  ~AudioFrameConverter();
  AudioFrameConverter(const AudioFrameConverter&) = delete;
  AudioFrameConverter& operator=(const AudioFrameConverter&) = delete;

  const Target& target() const;
  std::size_t bytesPerFrame() const;

  // Converts the samples [from, from + count) of `frame` (count > 0, within the frame). The
  // output is what the resampler gives for them, after what it still held for an earlier
  // format. Throws AudioConverterError: no conversion from the frame's format
  // (failedToCreateConverter), or the conversion failed (conversionFailed).
  Output convert(const AVFrame& frame, int from, int count);
  // Everything still held (the resampler's filter delay) at the end of the input; the next
  // convert() starts afresh.
  Output drain();
  // Drops what is held, without output: what comes next does not follow on (a seek).
  void reset();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace voxtrellis
