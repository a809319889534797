#pragma once

#include <voxtrellis/AudioFileError.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct AVFrame;

namespace voxtrellis {

// Decodes the first audio stream of a media file with FFmpeg, frame by frame.
// Throws AudioFileError for a file that cannot be opened or decoded. Damage
// after some sound (a file cut inside a sample frame, bytes after the last
// packet that are none) is the end of what the file holds: the stream ends
// there, and a warning says where.
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

  // The next decoded frame in the codec's own sample format (its rate and
  // layout may change from one frame to the next), or null at the end.
  const AVFrame* nextFrame();

  // Told the share of the file's bytes read so far (its position, not a length the file
  // announces), from nextFrame(): increasing, at most once per thousandth.
  void setProgressHandler(std::function<void(double)> handler);

  // The largest factor by which a stream's rate may be raised.
  static constexpr int kMaxUpsampling = 16;

  // Throws AudioFileError when `outRate` is more than kMaxUpsampling times the stream's rate (a
  // file declaring an absurdly low rate, whose every input frame would cost thousands of output
  // frames).
  void checkResampling(int outRate) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// Error text of an FFmpeg status code.
std::string ffmpegErrorText(int status);

}  // namespace voxtrellis
