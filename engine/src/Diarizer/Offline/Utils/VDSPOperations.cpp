#include "Diarizer/Offline/Utils/VDSPOperations.h"

#include <Eigen/Core>

#include <cmath>
#include <limits>

namespace voxtrellis::VDSPOperations {

std::vector<float> l2Normalize(const std::vector<float>& vector) {
  if (vector.empty()) return vector;
  Eigen::Map<const Eigen::VectorXf> v(vector.data(), static_cast<Eigen::Index>(vector.size()));
  float norm = std::sqrt(v.dot(v));
  if (!(norm > 1e-12f)) norm = 1e-12f;
  std::vector<float> result(vector.size());
  Eigen::Map<Eigen::VectorXf>(result.data(), static_cast<Eigen::Index>(result.size())) = v * (1.0f / norm);
  return result;
}

float logSumExp(const float* values, std::size_t count) {
  if (count == 0) return -std::numeric_limits<float>::infinity();
  float m = values[0];
  for (std::size_t i = 1; i < count; ++i) {
    if (values[i] > m) m = values[i];
  }
  // With an infinite maximum every x − m is NaN or −∞; the answer is the maximum itself.
  if (std::isinf(m)) return m;
  float sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += std::exp(values[i] - m);
  return m + std::log(sum);
}

float logSumExp(const std::vector<float>& values) {
  return logSumExp(values.data(), values.size());
}

std::vector<float> matrixVectorMultiply(const std::vector<std::vector<float>>& matrix,
                                        const std::vector<float>& vector) {
  if (matrix.empty()) return {};
  std::vector<float> result(matrix.size(), 0.0f);
  const std::size_t columns = vector.size();
  if (columns == 0) return result;
  Eigen::Map<const Eigen::VectorXf> v(vector.data(), static_cast<Eigen::Index>(columns));
  for (std::size_t i = 0; i < matrix.size(); ++i) {
    if (matrix[i].size() != columns) continue;
    result[i] = Eigen::Map<const Eigen::VectorXf>(matrix[i].data(), static_cast<Eigen::Index>(columns)).dot(v);
  }
  return result;
}

}  // namespace voxtrellis::VDSPOperations
