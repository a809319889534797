#pragma once

#include <vector>

namespace voxtrellis::WeightInterpolation {

// Linear resampling of a per-frame weight vector with sample centres aligned
// at half positions.
struct InterpolationCoefficients {
  std::vector<int> leftIndices, rightIndices;
  std::vector<float> leftWeights, rightWeights;
  int maxSourceIndex = 0;
  int outputLength = 0;

  // Both lengths must be at least 1; otherwise the coefficients are empty and
  // interpolate() returns an empty list.
  InterpolationCoefficients(int inputLength, int outputLength);

  // Empty for an empty input or one too short for the coefficients.
  std::vector<float> interpolate(const std::vector<float>& x) const;
};

}  // namespace voxtrellis::WeightInterpolation
