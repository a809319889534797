#pragma once

#include "Services/SampleCache.h"

#include <QString>

#include <mutex>

namespace parlowvista {

// The sample cache on disk: one file "<ID>.samples" per source (upper-case hyphenated id)
// of raw native-endian 32-bit floats, no header; 4 bytes per sample. Calls run one at a
// time.
class AudioCacheService : public SampleCache {
 public:
  // "Parlowvista/AudioCache" in the user's documents folder; in the application data folder
  // when the system names no documents folder.
  static QString defaultCacheDirectory();

  explicit AudioCacheService(QString cacheDirectory);

  const QString& cacheDirectory() const { return m_cacheDirectory; }
  QString cacheFilePath(const QUuid& sourceId) const;

  QString cacheSamples(std::span<const float> samples, const QUuid& sourceId) override;
  // A trailing part of a sample (1 to 3 bytes) is ignored; an empty file gives no samples
  // (an empty list, not nothing).
  std::optional<std::vector<float>> loadCachedSamples(const QUuid& sourceId) override;
  void removeCachedSamples(const QUuid& sourceId) override;

 private:
  QString m_cacheDirectory;
  std::mutex m_mutex;
};

}  // namespace parlowvista
