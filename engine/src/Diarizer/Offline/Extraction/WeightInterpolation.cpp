#include "Diarizer/Offline/Extraction/WeightInterpolation.h"

#include <algorithm>
#include <cmath>

namespace voxtrellis::WeightInterpolation {

InterpolationCoefficients::InterpolationCoefficients(int inputLength, int outputLength_) {
  if (inputLength < 1 || outputLength_ < 1) return;
  outputLength = outputLength_;
  const float scale = static_cast<float>(outputLength_) / static_cast<float>(inputLength);
  for (int j = 0; j < outputLength_; ++j) {
    float position = (static_cast<float>(j) + 0.5f) / scale - 0.5f;
    position = std::clamp(position, 0.0f, static_cast<float>(inputLength - 1));
    const int left = static_cast<int>(std::floor(position));
    const int right = std::min(left + 1, inputLength - 1);
    const float rightWeight = position - static_cast<float>(left);
    leftIndices.push_back(left);
    rightIndices.push_back(right);
    leftWeights.push_back(1.0f - rightWeight);
    rightWeights.push_back(rightWeight);
    maxSourceIndex = std::max(maxSourceIndex, right);
  }
}

std::vector<float> InterpolationCoefficients::interpolate(const std::vector<float>& x) const {
  // Too few values for these coefficients would read past the end.
  if (x.empty() || outputLength < 1 || static_cast<std::size_t>(maxSourceIndex) >= x.size()) return {};
  std::vector<float> result(static_cast<std::size_t>(outputLength));
  for (std::size_t j = 0; j < result.size(); ++j) {
    result[j] = x[static_cast<std::size_t>(leftIndices[j])] * leftWeights[j] +
                x[static_cast<std::size_t>(rightIndices[j])] * rightWeights[j];
  }
  return result;
}

}  // namespace voxtrellis::WeightInterpolation
