#pragma once

#include <voxtrellis/AudioFileError.h>
#include <voxtrellis/SoundPlaces.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct AVFrame;

namespace voxtrellis {

// Decodes the first audio stream of a media file with FFmpeg, frame by frame, laid out in the
// file's seconds as FrameTimeline tells. Throws AudioFileError for a file that cannot be opened
// or decoded, or that is damaged before any sound. Damage after some sound is skipped, as the
// ffmpeg tool skips it: what decodes after it is kept, after silence standing for what could
// not be decoded where the container says how long that lasted, and skipped() tells where (and
// how much; see SkippedDamage). After damage a new decoder takes the next packet. Damage that
// nothing decodable follows (a file cut inside a sample frame or a packet's header, bytes after
// the last packet that are none) is the end of what the file holds: the stream ends at its last
// good frame, and a warning says where; where more of the file than a second of its sound
// takes lies past the last good frame (its second half overwritten, say), skipped() tells that
// nothing from there on could be read too (SkippedDamage::unreadable: "Invalid data found when
// processing input"). A file that cannot be read on (a read that fails: a failing disk, a network
// share gone away) ends there too, and skipped() tells where and why; before any sound it is
// refused. A header AudioHeader refuses is refused.
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
  // The damage skipped so far, in the order met.
  const std::vector<SkippedDamage>& skipped() const;
  // Where the sound delivered so far lies in the file (see SoundPlaces), a place every quarter of
  // a second or so; empty where the container tells no packet's position.
  const SoundPlaces& places() const;

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
