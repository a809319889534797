#include "ASR/Streaming/WindowGeometry.h"

#include <algorithm>

namespace voxtrellis::streaming {

WindowGeometry WindowGeometry::of(const StreamingAsrConfig& config, int64_t modelWindow) {
  // In whole encoder frames: the recogniser reads a window frame by frame
  // from its first sample, so a window starting off the stream's frame grid
  // times its words half a frame out and a word at the boundary falls into
  // both neighbouring chunks.
  WindowGeometry g;
  const auto frames = [&g](double seconds) {
    const auto samples = static_cast<int64_t>(seconds * kSampleRate);
    g.rounded = g.rounded || samples % kSamplesPerFrame != 0;
    return samples / kSamplesPerFrame;
  };
  const int64_t limit = modelWindow / kSamplesPerFrame;
  int64_t chunk = std::max<int64_t>(frames(config.chunkSeconds), 1);
  int64_t left = frames(config.leftContextSeconds);
  int64_t right = frames(config.rightContextSeconds);
  if (left + chunk + right > limit) {
    g.fitted = true;
    right = std::min(right, limit / 2);
    chunk = std::min(chunk, limit - right);
    left = std::min(left, limit - chunk - right);
  }
  g.chunk = chunk * kSamplesPerFrame;
  g.left = left * kSamplesPerFrame;
  g.right = right * kSamplesPerFrame;
  return g;
}

}  // namespace voxtrellis::streaming
