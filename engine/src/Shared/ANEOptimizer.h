#pragma once

#include <voxtrellis/ComputeUnits.h>
#include <voxtrellis/DomainError.h>
#include <voxtrellis/MLMultiArray.h>

#include <cstdint>
#include <vector>

namespace voxtrellis::ANEOptimizer {

inline constexpr std::size_t aneAlignment = 64;
inline constexpr int64_t aneTileSize = 16;

enum class ModelType { encoder, decoder, joint };

// Aligned, widened allocation without zero fill. Failures are DomainError
// "ANEOptimizer" code -1: "Failed to allocate ANE-aligned memory" when memory
// cannot be had, "ANE memory allocation error: " + cause otherwise.
MLMultiArrayPtr createANEAlignedArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType);

// The stride rule of ANEMemoryUtils; the data type has no influence.
std::vector<int64_t> calculateOptimalStrides(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType);

// cpuAndNeuralEngine for every model type.
ComputeUnits optimalComputeUnits(ModelType modelType);

// A view with the stride rule's strides. Out of bounds: DomainError
// "ANEOptimizer" code -2 "View exceeds source array bounds".
MLMultiArrayPtr createZeroCopyView(const MLMultiArray& source, const std::vector<int64_t>& shape, int64_t offset);

// Reads the first and last element so the pages are resident before use.
void prefetchToNeuralEngine(const MLMultiArray& array);

// A float16 copy with the same shape and widened layout; the whole strided
// extent is converted, padded rows included. A non-float32 input fails with
// DomainError "ANEOptimizer" code -3 "Input must be float32" before anything
// is allocated.
MLMultiArrayPtr convertToFloat16(const MLMultiArray& input);

}  // namespace voxtrellis::ANEOptimizer
