#pragma once

#include <voxtrellis/MLMultiArray.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace voxtrellis::ANEMemoryUtils {

// Byte alignment of every buffer, and the unit its size is raised to.
inline constexpr std::size_t aneAlignment = 64;
// Element multiple the innermost row stride is raised to.
inline constexpr int64_t aneTileSize = 16;

class ANEMemoryError : public std::runtime_error {
 public:
  enum class Code { allocationFailed, invalidShape, unsupportedDataType };
  explicit ANEMemoryError(Code code);
  Code code() const { return m_code; }

 private:
  Code m_code;
};

// Innermost stride 1; the next stride is the innermost dimension raised to a
// multiple of 16, then multiplied outwards. [2, 3, 100] -> [336, 112, 1];
// a one-dimensional shape [n] -> [1]. Throws ANEMemoryError(invalidShape) for a
// negative dimension or a size that overflows.
std::vector<int64_t> calculateOptimalStrides(const std::vector<int64_t>& shape);

std::size_t getElementSize(MLMultiArrayDataType dataType);

// Aligned allocation in the widened layout: element total strides[0] x d0,
// bytes raised to a multiple of 64 (at least 64), 64-byte aligned, zero-filled
// when asked. Throws ANEMemoryError (allocationFailed, invalidShape). The
// buffer is freed with the last array sharing it, and at once on failure.
MLMultiArrayPtr createAlignedArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType, bool zeroClear);

// A view over the source's memory starting `offset` elements after its data
// pointer, with the source's data type and the given strides (else the stride
// rule). The view shares the source's owner. Refused with
// ANEMemoryError(invalidShape) when offset + the view's element count exceeds
// the source's element count, or when the view's strided extent reaches past
// the memory the source covers.
MLMultiArrayPtr createZeroCopyView(const MLMultiArray& source, int64_t offset, const std::vector<int64_t>& shape,
                                   const std::optional<std::vector<int64_t>>& strides = std::nullopt);

// Whether a view of `shape` at `offset` with `strides` stays inside `source`:
// the element-count rule plus the strided extent.
bool viewFits(const MLMultiArray& source, int64_t offset, const std::vector<int64_t>& shape,
              const std::vector<int64_t>& strides);

}  // namespace voxtrellis::ANEMemoryUtils
