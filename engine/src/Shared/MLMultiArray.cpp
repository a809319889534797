#include <voxtrellis/MLMultiArray.h>

#include "Onnx/Tensor.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace voxtrellis {

namespace {

bool multiplyChecked(int64_t a, int64_t b, int64_t& out) {
  return !__builtin_mul_overflow(a, b, &out);
}

int64_t checkedCount(const std::vector<int64_t>& shape) {
  if (shape.empty()) return 0;
  int64_t n = 1;
  for (int64_t d : shape) {
    if (d < 0) throw MLMultiArrayError("negative dimension in array shape");
    if (!multiplyChecked(n, d, n)) throw MLMultiArrayError("array shape overflows");
  }
  return n;
}

std::vector<int64_t> denseStrides(const std::vector<int64_t>& shape) {
  std::vector<int64_t> strides(shape.size(), 1);
  int64_t running = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    strides[i] = running;
    if (!multiplyChecked(running, std::max<int64_t>(shape[i], 1), running)) {
      throw MLMultiArrayError("array shape overflows");
    }
  }
  return strides;
}

}  // namespace

std::size_t elementSize(MLMultiArrayDataType type) {
  switch (type) {
    case MLMultiArrayDataType::float16: return 2;
    case MLMultiArrayDataType::float64: return 8;
    case MLMultiArrayDataType::float32:
    case MLMultiArrayDataType::int32: return 4;
  }
  return 4;
}

std::size_t MLMultiArray::extentBytes(const std::vector<int64_t>& shape, const std::vector<int64_t>& strides,
                                      MLMultiArrayDataType dataType) {
  if (shape.size() != strides.size()) throw MLMultiArrayError("array shape and strides differ in rank");
  if (shape.empty()) return 0;
  int64_t last = 0;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] < 0 || strides[i] < 0) throw MLMultiArrayError("negative dimension or stride");
    if (shape[i] == 0) return 0;
    int64_t step = 0;
    if (!multiplyChecked(shape[i] - 1, strides[i], step) || __builtin_add_overflow(last, step, &last)) {
      throw MLMultiArrayError("array layout overflows");
    }
  }
  int64_t bytes = 0;
  if (!multiplyChecked(last + 1, static_cast<int64_t>(elementSize(dataType)), bytes)) {
    throw MLMultiArrayError("array layout overflows");
  }
  return static_cast<std::size_t>(bytes);
}

MLMultiArray::MLMultiArray(std::vector<int64_t> shape, MLMultiArrayDataType dataType)
    : m_shape(std::move(shape)), m_dataType(dataType) {
  m_count = checkedCount(m_shape);
  m_strides = denseStrides(m_shape);
  int64_t bytes = 0;
  if (!multiplyChecked(std::max<int64_t>(m_count, 1), static_cast<int64_t>(elementSize(dataType)), bytes)) {
    throw MLMultiArrayError("array shape overflows");
  }
  const std::size_t size = (static_cast<std::size_t>(bytes) + 63) / 64 * 64;
  void* memory = std::aligned_alloc(64, size);
  if (!memory) throw MLMultiArrayError("cannot allocate array memory");
  std::memset(memory, 0, size);
  m_owner = std::shared_ptr<void>(memory, [](void* p) { std::free(p); });
  m_data = memory;
  m_spanBytes = size;
}

MLMultiArray::MLMultiArray(void* data, std::vector<int64_t> shape, MLMultiArrayDataType dataType,
                           std::vector<int64_t> strides, std::shared_ptr<void> owner, std::size_t spanBytes)
    : m_data(data),
      m_shape(std::move(shape)),
      m_strides(std::move(strides)),
      m_dataType(dataType),
      m_owner(std::move(owner)),
      m_spanBytes(spanBytes) {
  m_count = checkedCount(m_shape);
  if (extentBytes(m_shape, m_strides, m_dataType) > m_spanBytes) {
    throw MLMultiArrayError("array layout reaches beyond its memory");
  }
  if (!m_data && m_count > 0) throw MLMultiArrayError("array without memory");
}

bool MLMultiArray::isANEAligned() const {
  return reinterpret_cast<std::uintptr_t>(m_data) % 64 == 0;
}

bool MLMultiArray::isContiguous() const {
  int64_t running = 1;
  for (std::size_t i = m_shape.size(); i-- > 0;) {
    if (m_shape[i] != 1 && m_strides[i] != running) return false;
    running *= m_shape[i];
  }
  return true;
}

int64_t MLMultiArray::elementOffset(int64_t index) const {
  if (index < 0 || index >= m_count) throw std::out_of_range("array index out of range");
  int64_t offset = 0;
  for (std::size_t i = m_shape.size(); i-- > 0;) {
    offset += (index % m_shape[i]) * m_strides[i];
    index /= m_shape[i];
  }
  return offset;
}

double MLMultiArray::value(int64_t index) const {
  const int64_t at = elementOffset(index);
  switch (m_dataType) {
    case MLMultiArrayDataType::float16: return halfToFloat(static_cast<const uint16_t*>(m_data)[at]);
    case MLMultiArrayDataType::float32: return static_cast<const float*>(m_data)[at];
    case MLMultiArrayDataType::float64: return static_cast<const double*>(m_data)[at];
    case MLMultiArrayDataType::int32: return static_cast<const int32_t*>(m_data)[at];
  }
  return 0;
}

void MLMultiArray::setValue(int64_t index, double value) {
  const int64_t at = elementOffset(index);
  switch (m_dataType) {
    case MLMultiArrayDataType::float16:
      static_cast<uint16_t*>(m_data)[at] = floatToHalf(static_cast<float>(value));
      break;
    case MLMultiArrayDataType::float32: static_cast<float*>(m_data)[at] = static_cast<float>(value); break;
    case MLMultiArrayDataType::float64: static_cast<double*>(m_data)[at] = value; break;
    case MLMultiArrayDataType::int32: static_cast<int32_t*>(m_data)[at] = static_cast<int32_t>(value); break;
  }
}

void MLMultiArray::copyDense(void* destination) const {
  const std::size_t es = elementSize(m_dataType);
  if (m_count == 0) return;
  if (isContiguous()) {
    std::memcpy(destination, m_data, static_cast<std::size_t>(m_count) * es);
    return;
  }
  // Copy whole innermost rows at a time; only the outer dimensions are walked.
  const std::size_t rank = m_shape.size();
  const int64_t rowLength = m_shape[rank - 1];
  const int64_t innerStride = m_strides[rank - 1];
  const int64_t rows = m_count / rowLength;
  auto* out = static_cast<unsigned char*>(destination);
  const auto* in = static_cast<const unsigned char*>(m_data);
  for (int64_t row = 0; row < rows; ++row) {
    int64_t offset = 0;
    int64_t rest = row;
    for (std::size_t i = rank - 1; i-- > 0;) {
      offset += (rest % m_shape[i]) * m_strides[i];
      rest /= m_shape[i];
    }
    if (innerStride == 1) {
      std::memcpy(out, in + offset * es, static_cast<std::size_t>(rowLength) * es);
      out += rowLength * es;
    } else {
      for (int64_t j = 0; j < rowLength; ++j) {
        std::memcpy(out, in + (offset + j * innerStride) * es, es);
        out += es;
      }
    }
  }
}

std::vector<float> MLMultiArray::toFloatVector() const {
  std::vector<float> out(static_cast<std::size_t>(m_count));
  if (m_dataType == MLMultiArrayDataType::float32) {
    copyDense(out.data());
    return out;
  }
  for (int64_t i = 0; i < m_count; ++i) out[static_cast<std::size_t>(i)] = static_cast<float>(value(i));
  return out;
}

}  // namespace voxtrellis
