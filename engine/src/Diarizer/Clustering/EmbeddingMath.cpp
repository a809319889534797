#include "Diarizer/Clustering/EmbeddingMath.h"

#include <Eigen/Core>

#include <algorithm>
#include <cmath>

namespace voxtrellis::embedding {

namespace {
using ConstVector = Eigen::Map<const Eigen::VectorXf>;
Eigen::Index size(std::size_t count) {
  return static_cast<Eigen::Index>(count);
}
}  // namespace

float dot(const float* a, const float* b, std::size_t count) {
  if (count == 0) return 0;
  return ConstVector(a, size(count)).dot(ConstVector(b, size(count)));
}

float sumOfSquares(const float* values, std::size_t count) {
  if (count == 0) return 0;
  return ConstVector(values, size(count)).squaredNorm();
}

bool allFinite(const std::vector<float>& values) {
  return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

}  // namespace voxtrellis::embedding
