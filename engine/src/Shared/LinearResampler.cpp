// Results of this file must be bit-exact across builds: single-precision
// arithmetic, two products and one sum, never fused into a multiply-add.
#pragma GCC optimize("fp-contract=off")

#include "Shared/LinearResampler.h"

namespace voxtrellis::LinearResampler {

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

std::vector<float> resample(std::vector<float> mix, double inputRate, double outputRate) {
  if (inputRate == outputRate) return mix;
  const int64_t n = static_cast<int64_t>(mix.size());
  const double ratio = inputRate / outputRate;
  const double length = static_cast<double>(n) / ratio;
  // A rate of zero or a non-finite rate leaves nothing to resample into.
  if (!(length >= 0.0) || !(length < 9.0e18)) return {};
  const int64_t m = static_cast<int64_t>(length);
  std::vector<float> out(static_cast<std::size_t>(m), 0.0f);
  for (int64_t i = 0; i < m; ++i) {
    const double position = ratio * static_cast<double>(i);
    const int64_t k = static_cast<int64_t>(position);
    const float f = static_cast<float>(position - static_cast<double>(k));
    if (k < n - 1) {
      const float a = (1.0f - f) * mix[static_cast<std::size_t>(k)];
      const float b = mix[static_cast<std::size_t>(k + 1)] * f;
      out[static_cast<std::size_t>(i)] = a + b;
    } else if (k < n) {
      out[static_cast<std::size_t>(i)] = mix[static_cast<std::size_t>(k)];
    }
  }
  return out;
}

}  // namespace voxtrellis::LinearResampler
