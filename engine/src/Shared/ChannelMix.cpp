// Results of this file must be bit-exact across builds: single-precision
// sums and one product, never fused into a multiply-add.
#pragma GCC optimize("fp-contract=off")

#include "Shared/ChannelMix.h"

namespace voxtrellis::ChannelMix {

void appendMix(const float* const* channels, int channelCount, int64_t frames, std::vector<float>& out) {
  if (frames <= 0 || channelCount <= 0) return;
  const float weight = 1.0f / static_cast<float>(channelCount);
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(frames));
  float* mix = out.data() + start;
  for (int64_t i = 0; i < frames; ++i) {
    float sum = 0.0f;
    for (int c = 0; c < channelCount; ++c) sum += channels[c][i];
    mix[i] = weight * sum;
  }
}

}  // namespace voxtrellis::ChannelMix
