#pragma once

#include "Services/SampleCache.h"

#include <QString>
#include <QStringList>

#include <map>
#include <mutex>
#include <stop_token>

class QIODevice;

namespace parlowvista {

// The sample cache on disk: one file "<ID>.samples" per source (upper-case hyphenated id)
// of raw native-endian 32-bit floats, no header; 4 bytes per sample; beside it, where the
// source's file has them, its places in "<ID>.places" (voxtrellis::SoundPlaces::toBytes). Calls
// for one source run one at a time; those for different sources run side by side (a read of one
// never waits for another's samples to go down: three hours of them take seconds). Files are
// written only into the cache folder; folders where earlier versions kept the cache are still read
// and cleaned, so versions stored then keep their samples.
class AudioCacheService : public SampleCache {
 public:
  // "Parlowvista/AudioCache" in the user's cache folder ($XDG_CACHE_HOME, else ~/.cache): the
  // samples can be made again from the audio, so they belong with what may be cleared.
  static QString defaultCacheDirectory();
  // Where earlier versions kept the cache: "Parlowvista/AudioCache" in the documents folder.
  static QString earlierDefaultCacheDirectory();

  explicit AudioCacheService(QString cacheDirectory, QStringList earlierDirectories = {});

  const QString& cacheDirectory() const { return m_cacheDirectory; }
  QString cacheFilePath(const QUuid& sourceId) const;

  QString cacheSamples(std::span<const float> samples, const QUuid& sourceId, std::stop_token stop = {},
                       const voxtrellis::SoundPlaces* places = nullptr) override;
  // The samples go down this many bytes at a time, the stop looked for before each block: a few
  // hundredths of a second on a busy disk, where a block of 64 MB once took over a second.
  static constexpr qint64 kBytesBetweenStopChecks = qint64(4) << 20;
  // Writes `size` bytes to `device` in blocks of kBytesBetweenStopChecks, ending before the next
  // block with voxtrellis::WorkStopped once a stop is asked for through `stop`. Throws
  // std::runtime_error with the device's reason when a write fails.
  static void writeUnlessStopped(QIODevice& device, const char* bytes, qint64 size, const std::stop_token& stop);

  // A trailing part of a sample (1 to 3 bytes) is ignored; an empty file gives no samples
  // (an empty list, not nothing).
  std::optional<std::vector<float>> loadCachedSamples(const QUuid& sourceId) override;
  // A record of places costs 36 bytes a place, a place at most every quarter of a second: about
  // half a megabyte an hour of sound. One larger than this (over ten days of sound, whose samples
  // would be some 60 GB) is no record the cache wrote and is refused unread.
  static constexpr qint64 kMostPlacesBytes = qint64(128) << 20;
  std::shared_ptr<const voxtrellis::SoundPlaces> loadCachedPlaces(const QUuid& sourceId) override;
  void removeCachedSamples(const QUuid& sourceId) override;

 private:
  // Held while one source's files are read, written or removed.
  class SourceLock;
  struct SourceMutex {
    std::mutex mutex;
    int users = 0;  // those holding it or waiting for it; it goes when none are left
  };

  QString m_cacheDirectory;
  QStringList m_earlierDirectories;
  std::mutex m_sourceMutexesMutex;
  std::map<QUuid, SourceMutex> m_sourceMutexes;  // under m_sourceMutexesMutex
};

}  // namespace parlowvista
