#include "Shared/ANEOptimizer.h"

#include "Onnx/Tensor.h"
#include "Shared/ANEMemoryUtils.h"

#include <algorithm>

namespace voxtrellis::ANEOptimizer {

MLMultiArrayPtr createANEAlignedArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType) {
  try {
    return ANEMemoryUtils::createAlignedArray(shape, dataType, false);
  } catch (const ANEMemoryUtils::ANEMemoryError& e) {
    if (e.code() == ANEMemoryUtils::ANEMemoryError::Code::allocationFailed) {
      throw DomainError("ANEOptimizer", -1, "Failed to allocate ANE-aligned memory");
    }
    throw DomainError("ANEOptimizer", -1, std::string("ANE memory allocation error: ") + e.what());
  } catch (const std::exception& e) {
    throw DomainError("ANEOptimizer", -1, std::string("ANE memory allocation error: ") + e.what());
  }
}

std::vector<int64_t> calculateOptimalStrides(const std::vector<int64_t>& shape, MLMultiArrayDataType) {
  return ANEMemoryUtils::calculateOptimalStrides(shape);
}

ComputeUnits optimalComputeUnits(ModelType) {
  return ComputeUnits::cpuAndNeuralEngine;
}

MLMultiArrayPtr createZeroCopyView(const MLMultiArray& source, const std::vector<int64_t>& shape, int64_t offset) {
  const std::vector<int64_t> strides = ANEMemoryUtils::calculateOptimalStrides(shape);
  if (!ANEMemoryUtils::viewFits(source, offset, shape, strides)) {
    throw DomainError("ANEOptimizer", -2, "View exceeds source array bounds");
  }
  return ANEMemoryUtils::createZeroCopyView(source, offset, shape, strides);
}

void prefetchToNeuralEngine(const MLMultiArray& array) {
  if (array.count() < 1) return;
  volatile double first = array[0];
  volatile double last = array[array.count() - 1];
  (void)first;
  (void)last;
}

MLMultiArrayPtr convertToFloat16(const MLMultiArray& input) {
  if (input.dataType() != MLMultiArrayDataType::float32) {
    throw DomainError("ANEOptimizer", -3, "Input must be float32");
  }
  MLMultiArrayPtr output = createANEAlignedArray(input.shape(), MLMultiArrayDataType::float16);
  if (input.strides() == output->strides()) {
    // Same widened layout: converting the input's whole strided extent element
    // for element keeps every row, padding included, in place.
    const std::size_t extent = MLMultiArray::extentBytes(input.shape(), input.strides(), input.dataType()) / 4;
    const std::size_t n = std::min(extent, output->spanBytes() / 2);
    const float* in = input.dataAs<const float>();
    uint16_t* out = output->dataAs<uint16_t>();
    for (std::size_t i = 0; i < n; ++i) out[i] = floatToHalf(in[i]);
  } else {
    for (int64_t i = 0; i < input.count(); ++i) output->setValue(i, input[i]);
  }
  return output;
}

}  // namespace voxtrellis::ANEOptimizer
