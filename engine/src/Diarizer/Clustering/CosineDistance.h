#pragma once

#include <vector>

namespace voxtrellis {

// SpeakerUtilities::cosineDistance(a, b) with a·a (`sa`) already known, for
// scanning many vectors against one: the same rules, logs and results.
float cosineDistanceWithSquares(const std::vector<float>& a, float sa, const std::vector<float>& b);

}  // namespace voxtrellis
