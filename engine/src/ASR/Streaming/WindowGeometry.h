#pragma once

#include <voxtrellis/StreamingAsrManager.h>

#include <cstdint>

namespace voxtrellis::streaming {

inline constexpr int64_t kSampleRate = 16000;
inline constexpr int64_t kSamplesPerFrame = 1280;  // one encoder frame, 80 ms
inline constexpr int64_t kModelWindowSamples = 240000;

// Window lengths in samples, each a whole number of encoder frames (the
// configured seconds truncated; a chunk is at least one frame). A configured
// window longer than the recogniser's input gives up left context first, then
// chunk length; right context keeps at most half the input.
struct WindowGeometry {
  int64_t chunk = 0;
  int64_t left = 0;
  int64_t right = 0;
  bool fitted = false;   // shortened to fit the recogniser's input
  bool rounded = false;  // a configured length was not a whole number of frames

  static WindowGeometry of(const StreamingAsrConfig& config, int64_t modelWindow = kModelWindowSamples);
};

}  // namespace voxtrellis::streaming
