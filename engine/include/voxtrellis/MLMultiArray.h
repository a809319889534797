#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace voxtrellis {

enum class MLMultiArrayDataType { float16, float32, float64, int32 };

// Bytes per element: 2 for float16, 8 for float64, 4 otherwise.
std::size_t elementSize(MLMultiArrayDataType type);

// Raised when an array cannot be made over the given memory (rank mismatch,
// negative dimension or stride, or a layout that reaches past the memory).
class MLMultiArrayError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A multi-dimensional array over memory it shares ownership of: shape and
// strides in elements (outermost first), a data type, a data pointer and an
// owner that keeps the memory alive. Views made over another array share that
// array's owner, so a view can never outlive the memory it reads.
//
// Strides may be wider than the shape (padded rows); element access follows
// the strides. What is handed to the model runtime is always dense: see
// isContiguous() and copyDense().
//
// Thread safety: the array object is immutable; its elements are not guarded.
class MLMultiArray {
 public:
  // A dense, zero-filled array with row-major strides. Throws MLMultiArrayError.
  MLMultiArray(std::vector<int64_t> shape, MLMultiArrayDataType dataType);
  // An array over `data`, of which `spanBytes` bytes from `data` on may be
  // reached. `owner` is released when the last array sharing it goes away.
  // Throws MLMultiArrayError when the strided layout needs more than `spanBytes`.
  MLMultiArray(void* data, std::vector<int64_t> shape, MLMultiArrayDataType dataType, std::vector<int64_t> strides,
               std::shared_ptr<void> owner, std::size_t spanBytes);

  const std::vector<int64_t>& shape() const { return m_shape; }
  const std::vector<int64_t>& strides() const { return m_strides; }
  MLMultiArrayDataType dataType() const { return m_dataType; }
  // Product of the shape (1 for an empty shape is not used: an empty shape has 0 elements).
  int64_t count() const { return m_count; }
  void* dataPointer() const { return m_data; }
  template <class T>
  T* dataAs() const {
    return static_cast<T*>(m_data);
  }
  // Bytes reachable from dataPointer() (the whole allocation for arrays the engine allocates).
  std::size_t spanBytes() const { return m_spanBytes; }
  const std::shared_ptr<void>& owner() const { return m_owner; }

  // True when the data pointer is a multiple of 64.
  bool isANEAligned() const;
  // True when the strides are the dense row-major strides of the shape.
  bool isContiguous() const;

  // Element access by linear index in logical (row-major) order, following the
  // strides, converting to and from double. Throws std::out_of_range.
  double operator[](int64_t index) const { return value(index); }
  double value(int64_t index) const;
  void setValue(int64_t index, double value);

  // Elements in logical order, written densely to `destination` in the array's
  // own data type (count() × elementSize bytes).
  void copyDense(void* destination) const;
  // Elements in logical order as floats.
  std::vector<float> toFloatVector() const;

  // Bytes from the data pointer to just past the last element the layout reaches
  // (0 for an empty array).
  static std::size_t extentBytes(const std::vector<int64_t>& shape, const std::vector<int64_t>& strides,
                                 MLMultiArrayDataType dataType);

 private:
  int64_t elementOffset(int64_t index) const;

  void* m_data = nullptr;
  std::vector<int64_t> m_shape;
  std::vector<int64_t> m_strides;
  MLMultiArrayDataType m_dataType;
  std::shared_ptr<void> m_owner;
  std::size_t m_spanBytes = 0;
  int64_t m_count = 0;
};

using MLMultiArrayPtr = std::shared_ptr<MLMultiArray>;

}  // namespace voxtrellis
