#include "Shared/ANEMemoryOptimizer.h"

#include "Shared/ANEMemoryUtils.h"

#include <cstring>

namespace voxtrellis {

MLMultiArrayPtr ANEMemoryOptimizer::createAlignedArray(const std::vector<int64_t>& shape,
                                                       MLMultiArrayDataType dataType) {
  try {
    return ANEMemoryUtils::createAlignedArray(shape, dataType, true);
  } catch (const std::exception&) {
    throw DiarizerError::memoryAllocationFailed();
  }
}

MLMultiArrayPtr ANEMemoryOptimizer::getPooledBuffer(const std::string& key, const std::vector<int64_t>& shape,
                                                    MLMultiArrayDataType dataType) {
  std::lock_guard lock(m_bufferLock);
  auto it = m_bufferPool.find(key);
  if (it != m_bufferPool.end() && it->second->shape() == shape && it->second->dataType() == dataType) {
    return it->second;
  }
  MLMultiArrayPtr array = createAlignedArray(shape, dataType);
  m_bufferPool[key] = array;
  return array;
}

void ANEMemoryOptimizer::clearBufferPool() {
  std::lock_guard lock(m_bufferLock);
  m_bufferPool.clear();
}

std::size_t ANEMemoryOptimizer::pooledCount() const {
  std::lock_guard lock(m_bufferLock);
  return m_bufferPool.size();
}

MLMultiArrayPtr ANEMemoryOptimizer::createZeroCopyView(const MLMultiArray& source, const std::vector<int64_t>& shape,
                                                       int64_t offset) {
  std::vector<int64_t> strides;
  try {
    strides = ANEMemoryUtils::calculateOptimalStrides(shape);
  } catch (const ANEMemoryUtils::ANEMemoryError&) {
    throw DiarizerError::invalidArrayBounds();
  }
  if (!ANEMemoryUtils::viewFits(source, offset, shape, strides)) throw DiarizerError::invalidArrayBounds();
  return ANEMemoryUtils::createZeroCopyView(source, offset, shape, strides);
}

int64_t ANEMemoryOptimizer::copyCount(int64_t sourceCount, const MLMultiArray& destination, int64_t offset) {
  if (destination.dataType() != MLMultiArrayDataType::float32) return 0;
  if (offset < 0 || offset > destination.count()) return 0;
  // The destination's memory must hold every value written, padded layouts included.
  const int64_t room = static_cast<int64_t>(destination.spanBytes() / sizeof(float)) - offset;
  return std::max<int64_t>(0, std::min({destination.count() - offset, sourceCount, room}));
}

void ANEMemoryOptimizer::optimizedCopy(std::span<const float> source, MLMultiArray& destination, int64_t offset) const {
  const int64_t n = copyCount(static_cast<int64_t>(source.size()), destination, offset);
  if (n <= 0) return;
  std::memcpy(destination.dataAs<float>() + offset, source.data(), static_cast<std::size_t>(n) * sizeof(float));
}

}  // namespace voxtrellis
