#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace voxtrellis {

// Element types a model input or output may have. float16 values are stored as
// their raw 16-bit patterns (uint16_t).
enum class ElementType { float32, float16, int32, int64 };

std::size_t elementSize(ElementType type);
std::string_view elementTypeName(ElementType type);

template <class T>
constexpr ElementType elementTypeOf();
template <>
constexpr ElementType elementTypeOf<float>() {
  return ElementType::float32;
}
template <>
constexpr ElementType elementTypeOf<uint16_t>() {
  return ElementType::float16;
}
template <>
constexpr ElementType elementTypeOf<int32_t>() {
  return ElementType::int32;
}
template <>
constexpr ElementType elementTypeOf<int64_t>() {
  return ElementType::int64;
}

float halfToFloat(uint16_t bits);
uint16_t floatToHalf(float value);

// A dense, row-major tensor: an element type, a shape and a pointer to the
// elements. It either owns its storage (shared between copies, so copying a
// Tensor is cheap and never copies elements) or borrows memory the caller
// keeps alive, which is how inputs reach a model without a copy.
class Tensor {
 public:
  Tensor() = default;

  // Owned storage, zero-filled and aligned to 64 bytes. Throws std::invalid_argument
  // for a negative dimension or a size that overflows.
  static Tensor zeros(ElementType type, std::vector<int64_t> shape);
  // Borrowed storage: `data` must hold elementCount(shape) elements and outlive every use.
  static Tensor borrow(ElementType type, std::vector<int64_t> shape, void* data);
  // Owned storage wrapping an object that keeps `data` alive (e.g. a model's output value).
  static Tensor adopt(ElementType type, std::vector<int64_t> shape, void* data, std::shared_ptr<void> owner);

  template <class T>
  static Tensor fromValues(std::vector<int64_t> shape, std::span<const T> values) {
    Tensor t = zeros(elementTypeOf<T>(), std::move(shape));
    if (values.size() != t.elementCount()) {
      throw std::invalid_argument("tensor values do not match the shape's element count");
    }
    std::copy(values.begin(), values.end(), t.data<T>());
    return t;
  }
  template <class T>
  static Tensor fromValues(std::vector<int64_t> shape, const std::vector<T>& values) {
    return fromValues<T>(std::move(shape), std::span<const T>(values));
  }

  bool empty() const { return m_data == nullptr; }
  ElementType type() const { return m_type; }
  const std::vector<int64_t>& shape() const { return m_shape; }
  std::size_t elementCount() const { return m_count; }
  std::size_t byteCount() const { return m_count * elementSize(m_type); }
  void* rawData() { return m_data; }
  const void* rawData() const { return m_data; }

  // Typed access; throws std::logic_error when T does not match the element type.
  template <class T>
  T* data() {
    checkType(elementTypeOf<T>());
    return static_cast<T*>(m_data);
  }
  template <class T>
  const T* data() const {
    checkType(elementTypeOf<T>());
    return static_cast<const T*>(m_data);
  }
  template <class T>
  std::span<T> values() {
    return {data<T>(), m_count};
  }
  template <class T>
  std::span<const T> values() const {
    return {data<T>(), m_count};
  }

  // The elements as float32, converting float16 and integers.
  std::vector<float> toFloats() const;

  // Number of elements of a shape; throws std::invalid_argument on a negative
  // dimension or overflow.
  static std::size_t countElements(const std::vector<int64_t>& shape);

 private:
  void checkType(ElementType wanted) const;

  ElementType m_type = ElementType::float32;
  std::vector<int64_t> m_shape;
  std::size_t m_count = 0;
  void* m_data = nullptr;
  std::shared_ptr<void> m_owner;
};

// A model's inputs or outputs by name.
using NamedTensors = std::map<std::string, Tensor>;

}  // namespace voxtrellis
