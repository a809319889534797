#pragma once

#include <cstddef>
#include <vector>

namespace voxtrellis::embedding {

// Vectorised dot product and sum of squares of single-precision vectors
// (the speaker database's hot loop). `a` and `b` must have `count` values.
float dot(const float* a, const float* b, std::size_t count);
float sumOfSquares(const float* values, std::size_t count);
inline float sumOfSquares(const std::vector<float>& values) {
  return sumOfSquares(values.data(), values.size());
}
bool allFinite(const std::vector<float>& values);

}  // namespace voxtrellis::embedding
