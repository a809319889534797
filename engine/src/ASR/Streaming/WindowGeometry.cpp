#include "ASR/Streaming/WindowGeometry.h"

#include <algorithm>

namespace voxtrellis::streaming {

WindowGeometry WindowGeometry::of(const StreamingAsrConfig& config, int64_t modelWindow) {
  const auto samples = [](double seconds) { return static_cast<int64_t>(seconds * kSampleRate); };
  WindowGeometry g;
  g.chunk = std::max<int64_t>(samples(config.chunkSeconds), 1);
  g.left = samples(config.leftContextSeconds);
  g.right = samples(config.rightContextSeconds);
  if (g.left + g.chunk + g.right > modelWindow) {
    g.fitted = true;
    g.right = std::min(g.right, modelWindow / 2);
    g.chunk = std::min(g.chunk, modelWindow - g.right);
    g.left = std::min(g.left, modelWindow - g.chunk - g.right);
  }
  return g;
}

}  // namespace voxtrellis::streaming
