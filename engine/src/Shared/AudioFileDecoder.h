#pragma once

#include <voxtrellis/AudioFileError.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct AVFrame;
struct SwrContext;

namespace voxtrellis {

// Decodes the first audio stream of a media file with FFmpeg, frame by frame.
// Throws AudioFileError for a file that cannot be opened or decoded.
class AudioFileDecoder {
 public:
  explicit AudioFileDecoder(const std::string& path);
  ~AudioFileDecoder();
  AudioFileDecoder(const AudioFileDecoder&) = delete;
  AudioFileDecoder& operator=(const AudioFileDecoder&) = delete;

  int sampleRate() const;
  int channelCount() const;
  // Frames the container announces (0 when unknown); a hint for reserving memory.
  int64_t estimatedFrames() const;

  // The next decoded frame in the codec's own sample format, or null at the end.
  const AVFrame* nextFrame();

  // Told the share of the file's bytes read so far (its position, not a length the file
  // announces), from nextFrame(): increasing, at most once per thousandth.
  void setProgressHandler(std::function<void(double)> handler);

  // The largest factor by which a stream's rate may be raised.
  static constexpr int kMaxUpsampling = 16;

  // A resampler from this stream's frames to `outRate` Hz float: mono (the
  // mean of all channels) when `outChannels` is 1, else the stream's channels
  // unchanged at that count, planar. Owned by the caller (swr_free). Throws
  // AudioFileError when outRate is more than kMaxUpsampling times the
  // stream's rate (a file declaring an absurdly low rate).
  SwrContext* makeResampler(int outRate, int outChannels, bool planar) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// Frees a resampler on scope exit.
struct SwrDeleter {
  void operator()(SwrContext* context) const;
};
using SwrHandle = std::unique_ptr<SwrContext, SwrDeleter>;

// Error text of an FFmpeg status code.
std::string ffmpegErrorText(int status);

}  // namespace voxtrellis
