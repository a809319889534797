#pragma once

#include <optional>
#include <string>

struct AVCodecContext;
struct AVCodecParameters;

namespace voxtrellis {

// What the header of a media file's audio stream states that no decoding of it should take. The
// engine's loader refuses such a file, and the application's player refuses it alike, so that the
// two take the same files.
class AudioHeader {
 public:
  // The lowest rate the loader takes: it resamples to 16 kHz, and raises a rate 16 times at most
  // (a header stating less is damaged, and each of its samples would cost thousands).
  static constexpr int kLeastRate = 1000;

  // The highest rate taken: no recording is made at more, and a resampler bringing a rate stated
  // in hundreds of megahertz down to the loader's would take gigabytes.
  static constexpr int kMostRate = 768000;

  // Why the stream is not taken, in words for a log; nothing when it is: the stream as its
  // container states it (`stated`) and as its decoder took it once opened (`opened`, which may
  // read its own description, such as a FLAC's stream information, to another rate). A PCM header
  // whose frame size is not what its samples are decoded in (a WAV stating 7 bits per sample in
  // 2-byte frames, a damaged block size) would decode to noise; sizes rounded up to whole bytes
  // (12 bits in 2, 20 in 3) are what such headers mean, and are taken. A rate below kLeastRate or
  // above kMostRate, in either, is damage. The one check of the loader and the player alike.
  static std::optional<std::string> refusal(const AVCodecParameters& stated, const AVCodecContext& opened);
};

}  // namespace voxtrellis
