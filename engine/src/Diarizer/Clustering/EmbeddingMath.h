#pragma once

#include <cstddef>
#include <vector>

namespace voxtrellis::embedding {

// Vectorised arithmetic on single-precision vectors (the speaker database's
// hot loop). Pointers must reach `count` values.
float sumOfSquares(const float* values, std::size_t count);
inline float sumOfSquares(const std::vector<float>& values) {
  return sumOfSquares(values.data(), values.size());
}
bool allFinite(const std::vector<float>& values);

struct DotAndSquares {
  float dot = 0;
  float aa = 0;
  float bb = 0;
};
// a·b and b·b (aa stays 0), for scanning many b against one a whose a·a is known.
DotAndSquares dotAndSquaresOfSecond(const float* a, const float* b, std::size_t count);

// target[i] += values[i] for `count` values.
void addInto(float* target, const float* values, std::size_t count);

}  // namespace voxtrellis::embedding
