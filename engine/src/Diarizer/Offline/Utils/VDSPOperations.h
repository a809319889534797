#pragma once

#include <vector>

namespace voxtrellis {

// Single-precision vector helpers shared by the diarizers. Stateless; never throw.
namespace VDSPOperations {

// Every element times 1 / max(‖v‖, 1e-12); an empty list comes back unchanged.
std::vector<float> l2Normalize(const std::vector<float>& vector);

// m + ln Σ exp(xᵢ − m) with m the largest element. Negative infinity for an
// empty list or one whose elements are all negative infinity; positive
// infinity when an element is positive infinity.
float logSumExp(const float* values, std::size_t count);
float logSumExp(const std::vector<float>& values);

// r[i] = Σⱼ matrix[i][j] · vector[j]. Every row must have the vector's length.
std::vector<float> matrixVectorMultiply(const std::vector<std::vector<float>>& matrix,
                                        const std::vector<float>& vector);

}  // namespace VDSPOperations
}  // namespace voxtrellis
