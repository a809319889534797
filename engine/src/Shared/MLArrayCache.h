#pragma once

#include "Shared/AppLogger.h"

#include <voxtrellis/MLMultiArray.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace voxtrellis {

// Ready-made aligned arrays by shape and type, so fixed model inputs are not
// allocated on every call. Arrays handed out never return to the cache.
//
// Thread safety: operations run one at a time (one lock), so two callers never
// receive the same cached array.
class MLArrayCache {
 public:
  struct CacheKey {
    std::vector<int64_t> shape;
    MLMultiArrayDataType dataType;
    friend bool operator<(const CacheKey& a, const CacheKey& b) {
      return std::tie(a.shape, a.dataType) < std::tie(b.shape, b.dataType);
    }
    friend bool operator==(const CacheKey& a, const CacheKey& b) = default;
  };
  using ShapeEntry = std::pair<std::vector<int64_t>, MLMultiArrayDataType>;

  MLArrayCache();

  // The most recently cached array for the key (not cleared), else a new
  // aligned array that is not recorded. Throws like ANEOptimizer::createANEAlignedArray.
  MLMultiArrayPtr getArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType);

  // Fills the cache with min(5, maxCacheSize / entries) arrays per entry,
  // replacing earlier lists; a failing entry is logged and skipped. Never throws.
  void prewarm(const std::vector<ShapeEntry>& shapes);

  // Number of arrays cached under a key.
  std::size_t cachedCount(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType) const;

  static constexpr int maxCacheSize = 100;

 private:
  mutable std::mutex m_mutex;
  std::map<CacheKey, std::vector<MLMultiArrayPtr>> m_cache;
  AppLogger m_logger;
};

// The process-wide cache, made on first use.
MLArrayCache& sharedMLArrayCache();

}  // namespace voxtrellis
