#pragma once

#include "Onnx/OnnxModel.h"

#include <voxtrellis/MLMultiArray.h>

#include <map>
#include <string>

namespace voxtrellis {

// The model runtime reads dense tensors only. A contiguous array is lent to
// the runtime without a copy (the tensor shares the array's memory owner); a
// widened or strided one is copied densely. float64 arrays have no runtime
// counterpart and throw std::invalid_argument.
Tensor denseTensor(const MLMultiArrayPtr& array);
NamedTensors denseTensors(const std::map<std::string, MLMultiArrayPtr>& features);

// An array over a tensor's memory, sharing its ownership (no copy). int64
// tensors are narrowed into a new int32 array.
MLMultiArrayPtr arrayFromTensor(const Tensor& tensor);

}  // namespace voxtrellis
