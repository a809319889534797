#pragma once

#include <voxtrellis/DiarizerError.h>
#include <voxtrellis/MLMultiArray.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace voxtrellis {

// Zero-filled aligned model inputs, a pool that hands back the same array for
// the same name while shape and type still fit, views without copies and a
// fast float copy. One instance per owning component.
//
// Thread safety: getPooledBuffer and clearBufferPool take the pool's lock for
// their whole run; the arrays themselves are not guarded, and two users of one
// key share memory.
class ANEMemoryOptimizer {
 public:
  static constexpr std::size_t aneAlignment = 64;
  static constexpr int64_t aneTileSize = 16;

  ANEMemoryOptimizer() = default;

  // Zero-filled aligned array. Every failure is DiarizerError::memoryAllocationFailed.
  MLMultiArrayPtr createAlignedArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType);

  // The array pooled under `key` when its shape and type match, else a new
  // zero-filled one that replaces it. A reused array keeps what its users last
  // wrote. Throws DiarizerError::memoryAllocationFailed; the pool is then unchanged.
  MLMultiArrayPtr getPooledBuffer(const std::string& key, const std::vector<int64_t>& shape,
                                  MLMultiArrayDataType dataType);

  // Empties the pool; arrays held by callers stay valid.
  void clearBufferPool();

  // A view into the source with the stride rule's strides. Throws
  // DiarizerError::invalidArrayBounds when it would reach beyond the source.
  MLMultiArrayPtr createZeroCopyView(const MLMultiArray& source, const std::vector<int64_t>& shape, int64_t offset);

  // Copies floats into consecutive memory of a float32 destination starting
  // `offset` elements after its data pointer: min(count - offset, source size)
  // values. Copies nothing for another data type or an offset outside 0...count.
  void optimizedCopy(std::span<const float> source, MLMultiArray& destination, int64_t offset) const;

  template <class Range>
  requires(!std::is_convertible_v<const Range&, std::span<const float>>) void optimizedCopy(const Range& source,
                                                                                            MLMultiArray& destination,
                                                                                            int64_t offset) const {
    const int64_t n = copyCount(static_cast<int64_t>(std::size(source)), destination, offset);
    if (n <= 0) return;
    float* out = destination.dataAs<float>() + offset;
    auto it = std::begin(source);
    for (int64_t i = 0; i < n; ++i, ++it) out[i] = static_cast<float>(*it);
  }

  std::size_t pooledCount() const;

 private:
  static int64_t copyCount(int64_t sourceCount, const MLMultiArray& destination, int64_t offset);

  mutable std::mutex m_bufferLock;
  std::map<std::string, MLMultiArrayPtr> m_bufferPool;
};

}  // namespace voxtrellis
