#include "Services/AudioCacheService.h"

#include "Models/AppSettings.h"
#include "Models/UuidText.h"

#include <voxtrellis/WorkStopped.h>

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace parlowvista {

namespace {

QString cacheFileName(const QUuid& sourceId) {
  return uuidText(sourceId) + ".samples";
}
QString placesFileName(const QUuid& sourceId) {
  return uuidText(sourceId) + ".places";
}

// The whole of a regular file open as `descriptor`, unless it is larger than `most` bytes (then
// nothing of it is read) or cannot be read.
std::optional<std::string> readWhole(int descriptor, qint64 most) {
  struct stat info {};
  if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > most) return std::nullopt;
  std::string bytes(std::size_t(info.st_size), '\0');
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::read(descriptor, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    done += std::size_t(n);
  }
  return bytes;
}

}  // namespace

class AudioCacheService::SourceLock {
 public:
  SourceLock(AudioCacheService& cache, const QUuid& sourceId) : m_cache(cache), m_sourceId(sourceId) {
    {
      const std::lock_guard lock(m_cache.m_sourceMutexesMutex);
      m_held = &m_cache.m_sourceMutexes[sourceId];
      ++m_held->users;
    }
    m_held->mutex.lock();
  }
  ~SourceLock() {
    m_held->mutex.unlock();
    const std::lock_guard lock(m_cache.m_sourceMutexesMutex);
    if (--m_held->users == 0) m_cache.m_sourceMutexes.erase(m_sourceId);
  }
  SourceLock(const SourceLock&) = delete;
  SourceLock& operator=(const SourceLock&) = delete;

 private:
  AudioCacheService& m_cache;
  QUuid m_sourceId;
  SourceMutex* m_held = nullptr;  // a map's entry stays where it is while it is in the map
};

QString AudioCacheService::defaultCacheDirectory() {
  QString root = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
  if (root.isEmpty()) root = AppSettings::defaultApplicationSupportRoot();
  return QDir(root).filePath("Parlowvista/AudioCache");
}

QString AudioCacheService::earlierDefaultCacheDirectory() {
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  return documents.isEmpty() ? QString() : QDir(documents).filePath("Parlowvista/AudioCache");
}

AudioCacheService::AudioCacheService(QString cacheDirectory, QStringList earlierDirectories)
    : m_cacheDirectory(std::move(cacheDirectory)), m_earlierDirectories(std::move(earlierDirectories)) {
  m_earlierDirectories.removeAll(QString());
  m_earlierDirectories.removeAll(m_cacheDirectory);
}

QString AudioCacheService::cacheFilePath(const QUuid& sourceId) const {
  return QDir(m_cacheDirectory).filePath(cacheFileName(sourceId));
}

QString AudioCacheService::cacheSamples(std::span<const float> samples, const QUuid& sourceId, std::stop_token stop,
                                        const voxtrellis::SoundPlaces* places) {
  const SourceLock lock(*this, sourceId);
  std::error_code folderError;
  std::filesystem::create_directories(QFile::encodeName(m_cacheDirectory).toStdString(), folderError);
  if (folderError) {
    throw std::runtime_error(("Cannot create folder " + m_cacheDirectory).toStdString() + ": " + folderError.message());
  }
  const QString path = cacheFilePath(sourceId);
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) throw std::runtime_error(file.errorString().toStdString());
  // An hour of samples is 230 MB. A file left uncommitted is discarded whole.
  writeUnlessStopped(file, reinterpret_cast<const char*>(samples.data()), qint64(samples.size_bytes()), stop);
  if (stop.stop_requested()) throw voxtrellis::WorkStopped("Caching the samples");
  if (!file.commit()) throw std::runtime_error(file.errorString().toStdString());
  // The places describe the source's file, not these samples: without any, none from an earlier
  // load stay, and a failure to keep them only costs the player its own index of the file.
  const QString placesPath = QDir(m_cacheDirectory).filePath(placesFileName(sourceId));
  QSaveFile placesFile(placesPath);
  const std::string bytes = places && !places->empty() ? places->toBytes() : std::string();
  if (bytes.empty() || !placesFile.open(QIODevice::WriteOnly) ||
      placesFile.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()) || !placesFile.commit()) {
    QFile::remove(placesPath);
  }
  return path;
}

void AudioCacheService::writeUnlessStopped(QIODevice& device, const char* bytes, qint64 size,
                                           const std::stop_token& stop) {
  for (qint64 written = 0; written < size;) {
    if (stop.stop_requested()) throw voxtrellis::WorkStopped("Caching the samples");
    const qint64 n = device.write(bytes + written, std::min(size - written, kBytesBetweenStopChecks));
    if (n <= 0) throw std::runtime_error(device.errorString().toStdString());
    written += n;
  }
}

std::optional<std::vector<float>> AudioCacheService::loadCachedSamples(const QUuid& sourceId) {
  const SourceLock lock(*this, sourceId);
  QFile file(cacheFilePath(sourceId));
  for (auto earlier = m_earlierDirectories.cbegin(); !file.exists() && earlier != m_earlierDirectories.cend();
       ++earlier) {
    file.setFileName(QDir(*earlier).filePath(cacheFileName(sourceId)));
  }
  if (!file.exists()) return std::nullopt;
  if (!file.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "Failed to load cached samples: %s\n", qPrintable(file.errorString()));
    return std::nullopt;
  }
  std::vector<float> samples(static_cast<std::size_t>(file.size() / 4));
  auto* bytes = reinterpret_cast<char*>(samples.data());
  const qint64 total = static_cast<qint64>(samples.size() * sizeof(float));
  qint64 read = 0;
  while (read < total) {
    const qint64 n = file.read(bytes + read, total - read);
    if (n <= 0) {
      std::fprintf(stderr, "Failed to load cached samples: %s\n", qPrintable(file.errorString()));
      return std::nullopt;
    }
    read += n;
  }
  return samples;
}

std::shared_ptr<const voxtrellis::SoundPlaces> AudioCacheService::loadCachedPlaces(const QUuid& sourceId) {
  const SourceLock lock(*this, sourceId);
  const QByteArray path = QFile::encodeName(QDir(m_cacheDirectory).filePath(placesFileName(sourceId)));
  // Not held up by a pipe of that name: it is no record.
  const int descriptor = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) return nullptr;
  const std::optional<std::string> bytes = readWhole(descriptor, kMostPlacesBytes);
  ::close(descriptor);
  auto places = bytes ? voxtrellis::SoundPlaces::fromBytes(*bytes) : std::nullopt;
  return places ? std::make_shared<const voxtrellis::SoundPlaces>(std::move(*places)) : nullptr;
}

void AudioCacheService::removeCachedSamples(const QUuid& sourceId) {
  const SourceLock lock(*this, sourceId);
  QFile::remove(cacheFilePath(sourceId));
  QFile::remove(QDir(m_cacheDirectory).filePath(placesFileName(sourceId)));
  for (const QString& earlier : m_earlierDirectories) QFile::remove(QDir(earlier).filePath(cacheFileName(sourceId)));
}

}  // namespace parlowvista
