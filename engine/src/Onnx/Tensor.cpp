#include "Onnx/Tensor.h"

#include <onnxruntime_cxx_api.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace voxtrellis {

std::size_t elementSize(ElementType type) {
  switch (type) {
    case ElementType::float32: return 4;
    case ElementType::float16: return 2;
    case ElementType::int32: return 4;
    case ElementType::int64: return 8;
  }
  return 4;
}

std::string_view elementTypeName(ElementType type) {
  switch (type) {
    case ElementType::float32: return "float32";
    case ElementType::float16: return "float16";
    case ElementType::int32: return "int32";
    case ElementType::int64: return "int64";
  }
  return "unknown";
}

float halfToFloat(uint16_t bits) {
  return Ort::Float16_t::FromBits(bits).ToFloat();
}
uint16_t floatToHalf(float value) {
  return Ort::Float16_t(value).val;
}

std::size_t Tensor::countElements(const std::vector<int64_t>& shape) {
  std::size_t count = 1;
  for (int64_t dim : shape) {
    if (dim < 0) {
      throw std::invalid_argument("tensor shape has a negative dimension");
    }
    const auto d = static_cast<std::size_t>(dim);
    if (d != 0 && count > std::numeric_limits<std::size_t>::max() / 16 / d) {
      throw std::invalid_argument("tensor shape is too large");
    }
    count *= d;
  }
  return count;
}

Tensor Tensor::zeros(ElementType type, std::vector<int64_t> shape) {
  Tensor t;
  t.m_type = type;
  t.m_count = countElements(shape);
  t.m_shape = std::move(shape);
  std::size_t bytes = t.m_count * elementSize(type);
  bytes = (bytes + 63) / 64 * 64;
  if (bytes == 0) {
    bytes = 64;
  }
  void* p = std::aligned_alloc(64, bytes);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  std::memset(p, 0, bytes);
  t.m_owner = std::shared_ptr<void>(p, [](void* q) { std::free(q); });
  t.m_data = p;
  return t;
}

Tensor Tensor::borrow(ElementType type, std::vector<int64_t> shape, void* data) {
  return adopt(type, std::move(shape), data, nullptr);
}

Tensor Tensor::adopt(ElementType type, std::vector<int64_t> shape, void* data, std::shared_ptr<void> owner) {
  if (data == nullptr && countElements(shape) != 0) {
    throw std::invalid_argument("tensor data is null");
  }
  Tensor t;
  t.m_type = type;
  t.m_count = countElements(shape);
  t.m_shape = std::move(shape);
  t.m_data = data;
  t.m_owner = std::move(owner);
  return t;
}

void Tensor::checkType(ElementType wanted) const {
  if (wanted != m_type) {
    throw std::logic_error("tensor holds " + std::string(elementTypeName(m_type)) + ", not " +
                           std::string(elementTypeName(wanted)));
  }
}

std::vector<float> Tensor::toFloats() const {
  std::vector<float> out(m_count);
  switch (m_type) {
    case ElementType::float32:
      if (m_count) std::memcpy(out.data(), m_data, m_count * sizeof(float));
      break;
    case ElementType::float16: {
      const auto* p = static_cast<const uint16_t*>(m_data);
      for (std::size_t i = 0; i < m_count; ++i) out[i] = halfToFloat(p[i]);
      break;
    }
    case ElementType::int32: {
      const auto* p = static_cast<const int32_t*>(m_data);
      for (std::size_t i = 0; i < m_count; ++i) out[i] = static_cast<float>(p[i]);
      break;
    }
    case ElementType::int64: {
      const auto* p = static_cast<const int64_t*>(m_data);
      for (std::size_t i = 0; i < m_count; ++i) out[i] = static_cast<float>(p[i]);
      break;
    }
  }
  return out;
}

}  // namespace voxtrellis
