#include "Shared/MLMultiArrayTensor.h"

#include <stdexcept>

namespace voxtrellis {

namespace {

ElementType runtimeType(MLMultiArrayDataType type) {
  switch (type) {
    case MLMultiArrayDataType::float32: return ElementType::float32;
    case MLMultiArrayDataType::float16: return ElementType::float16;
    case MLMultiArrayDataType::int32: return ElementType::int32;
    case MLMultiArrayDataType::float64: break;
  }
  throw std::invalid_argument("float64 arrays cannot be handed to the model runtime");
}

}  // namespace

Tensor denseTensor(const MLMultiArrayPtr& array) {
  const ElementType type = runtimeType(array->dataType());
  if (array->isContiguous()) {
    // The tensor keeps the array (and so its memory) alive.
    return Tensor::adopt(type, array->shape(), array->dataPointer(), std::shared_ptr<void>(array));
  }
  Tensor tensor = Tensor::zeros(type, array->shape());
  array->copyDense(tensor.rawData());
  return tensor;
}

NamedTensors denseTensors(const std::map<std::string, MLMultiArrayPtr>& features) {
  NamedTensors tensors;
  for (const auto& [name, array] : features) tensors.emplace(name, denseTensor(array));
  return tensors;
}

MLMultiArrayPtr arrayFromTensor(const Tensor& tensor) {
  std::vector<int64_t> strides(tensor.shape().size(), 1);
  for (std::size_t i = strides.size(); i-- > 1;) strides[i - 1] = strides[i] * tensor.shape()[i];
  auto keeper = std::make_shared<Tensor>(tensor);
  void* data = keeper->rawData();
  switch (tensor.type()) {
    case ElementType::float32:
      return std::make_shared<MLMultiArray>(data, tensor.shape(), MLMultiArrayDataType::float32, strides, keeper,
                                            tensor.byteCount());
    case ElementType::float16:
      return std::make_shared<MLMultiArray>(data, tensor.shape(), MLMultiArrayDataType::float16, strides, keeper,
                                            tensor.byteCount());
    case ElementType::int32:
      return std::make_shared<MLMultiArray>(data, tensor.shape(), MLMultiArrayDataType::int32, strides, keeper,
                                            tensor.byteCount());
    case ElementType::int64: {
      auto array = std::make_shared<MLMultiArray>(tensor.shape(), MLMultiArrayDataType::int32);
      const int64_t* in = tensor.data<int64_t>();
      int32_t* out = array->dataAs<int32_t>();
      for (std::size_t i = 0; i < tensor.elementCount(); ++i) out[i] = static_cast<int32_t>(in[i]);
      return array;
    }
  }
  throw std::invalid_argument("unsupported tensor element type");
}

}  // namespace voxtrellis
