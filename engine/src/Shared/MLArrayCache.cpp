#include "Shared/MLArrayCache.h"

#include "Shared/ANEOptimizer.h"

#include <sstream>

namespace voxtrellis {

namespace {

std::string shapeText(const std::vector<int64_t>& shape) {
  std::ostringstream out;
  out << '[';
  for (std::size_t i = 0; i < shape.size(); ++i) out << (i ? ", " : "") << shape[i];
  out << ']';
  return out.str();
}

}  // namespace

MLArrayCache::MLArrayCache() : m_logger("MLArrayCache") {}

MLMultiArrayPtr MLArrayCache::getArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType) {
  std::lock_guard lock(m_mutex);
  auto it = m_cache.find(CacheKey{shape, dataType});
  if (it != m_cache.end() && !it->second.empty()) {
    MLMultiArrayPtr array = std::move(it->second.back());
    it->second.pop_back();
    return array;
  }
  return ANEOptimizer::createANEAlignedArray(shape, dataType);
}

void MLArrayCache::prewarm(const std::vector<ShapeEntry>& shapes) {
  std::lock_guard lock(m_mutex);
  m_logger.info("Pre-warming cache with " + std::to_string(shapes.size()) + " shapes");
  if (shapes.empty()) return;
  const std::size_t perEntry = std::min<std::size_t>(5, maxCacheSize / shapes.size());
  for (const auto& [shape, dataType] : shapes) {
    std::vector<MLMultiArrayPtr> arrays;
    try {
      for (std::size_t i = 0; i < perEntry; ++i) arrays.push_back(ANEOptimizer::createANEAlignedArray(shape, dataType));
    } catch (const std::exception& e) {
      m_logger.error("Failed to pre-warm shape " + shapeText(shape) + ": " + e.what());
      continue;
    }
    m_cache[CacheKey{shape, dataType}] = std::move(arrays);
  }
}

std::size_t MLArrayCache::cachedCount(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType) const {
  std::lock_guard lock(m_mutex);
  auto it = m_cache.find(CacheKey{shape, dataType});
  return it == m_cache.end() ? 0 : it->second.size();
}

MLArrayCache& sharedMLArrayCache() {
  static MLArrayCache cache;
  return cache;
}

}  // namespace voxtrellis
