#pragma once

#include "Onnx/OnnxModel.h"

#include <initializer_list>
#include <string>

namespace voxtrellis {

// For a model class whose input or output may come in more than one element
// type (an integer length of 32 or 64 bits, a state of full or half
// precision): the type the model declares for `name` when it is one of
// `accepted`, else the first accepted type, so that requireInterface then
// names the difference.
inline ElementType acceptedInputType(const OnnxModel& model, const std::string& name,
                                     std::initializer_list<ElementType> accepted) {
  const TensorInfo* info = model.input(name);
  for (ElementType type : accepted) {
    if (info && info->type == type) return type;
  }
  return *accepted.begin();
}

inline ElementType acceptedOutputType(const OnnxModel& model, const std::string& name,
                                      std::initializer_list<ElementType> accepted) {
  const TensorInfo* info = model.output(name);
  for (ElementType type : accepted) {
    if (info && info->type == type) return type;
  }
  return *accepted.begin();
}

// A one-element integer tensor of `type` (int32 or int64) holding `value`.
inline Tensor integerTensor(ElementType type, std::vector<int64_t> shape, int64_t value) {
  Tensor t = Tensor::zeros(type, std::move(shape));
  if (type == ElementType::int64) {
    t.data<int64_t>()[0] = value;
  } else {
    t.data<int32_t>()[0] = static_cast<int32_t>(value);
  }
  return t;
}

// Element 0 of an integer (or float) tensor, as an int.
inline int firstInteger(const Tensor& t) {
  switch (t.type()) {
    case ElementType::int32: return t.data<int32_t>()[0];
    case ElementType::int64: return static_cast<int>(t.data<int64_t>()[0]);
    default: return static_cast<int>(t.toFloats().at(0));
  }
}

}  // namespace voxtrellis
