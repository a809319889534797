#include "Services/FileAccessManager.h"

#include "Models/AudioSource.h"
#include "Models/FileBookmark.h"

#include <QDebug>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QtConcurrent>

namespace parlowvista {

// What the file system said about a source's bookmark and stored path.
struct FileAccessManager::Lookup {
  std::optional<QByteArray> bookmark;  // as it was asked about
  QString originalPath;
  std::optional<FileBookmark::Resolution> resolution;
  QString resolutionError;
  bool resolvedExists = false;
  bool pathExists = false;
};

FileAccessManager::FileAccessManager(QObject* parent) : QObject(parent) {
  m_checks.setMaxThreadCount(2);
}

FileAccessManager::~FileAccessManager() {
  m_checks.clear();
}

QUrl FileAccessManager::resolveURL(AudioSource* audioSource) {
  if (!audioSource) return {};
  return apply(audioSource, lookUp(audioSource->fileBookmark(), audioSource->originalPath()));
}

void FileAccessManager::checkAvailability(AudioSource* audioSource, QObject* context,
                                          std::function<void(bool available)> done) {
  if (!audioSource) return;
  auto* watcher = new QFutureWatcher<Lookup>(this);
  connect(watcher, &QFutureWatcherBase::finished, this,
          [this, watcher, source = QPointer<AudioSource>(audioSource), guard = QPointer<QObject>(context),
           done = std::move(done)]() mutable {
            watcher->deleteLater();
            if (!source || !guard) return;
            const Lookup lookup = watcher->result();
            if (lookup.bookmark != source->fileBookmark() || lookup.originalPath != source->originalPath()) {
              checkAvailability(source, guard, std::move(done));
              return;
            }
            done(!apply(source, lookup).isEmpty());
          });
  watcher->setFuture(QtConcurrent::run(&m_checks, &FileAccessManager::lookUp, audioSource->fileBookmark(),
                                       audioSource->originalPath()));
}

FileAccessManager::Lookup FileAccessManager::lookUp(const std::optional<QByteArray>& bookmark,
                                                    const QString& originalPath) {
  Lookup lookup;
  lookup.bookmark = bookmark;
  lookup.originalPath = originalPath;
  if (bookmark) {
    lookup.resolution = FileBookmark::resolve(*bookmark, &lookup.resolutionError);
    lookup.resolvedExists = lookup.resolution && QFileInfo::exists(lookup.resolution->path);
  }
  lookup.pathExists = !originalPath.isEmpty() && QFileInfo::exists(originalPath);
  return lookup;
}

QUrl FileAccessManager::apply(AudioSource* audioSource, const Lookup& lookup) {
  // The bookmark road first.
  if (lookup.bookmark && !lookup.resolution) {
    qInfo().noquote() << QStringLiteral("Bookmark resolution failed: ") + lookup.resolutionError;
  } else if (lookup.resolution) {
    const QUrl url = QUrl::fromLocalFile(lookup.resolution->path);
    if (startAccessingSecurityScopedResource(url)) m_activeSecurityScopes.insert(url, true);
    if (lookup.resolution->isStale) {
      QString error;
      const auto fresh = FileBookmark::create(lookup.resolution->path, &error);
      if (fresh)
        audioSource->setFileBookmark(fresh);
      else
        qInfo().noquote() << QStringLiteral("Failed to refresh bookmark: ") + error;
    }
    if (lookup.resolvedExists) return url;
  }
  // Then the stored path.
  if (lookup.pathExists) {
    const QUrl url = QUrl::fromLocalFile(lookup.originalPath);
    // So the next launch can take the bookmark road.
    audioSource->createBookmark(url);
    return url;
  }
  return {};
}

bool FileAccessManager::startAccessingSecurityScopedResource(const QUrl& url) {
  return url.isLocalFile();
}

void FileAccessManager::handleRelocation(AudioSource* audioSource, const QUrl& newURL) {
  if (audioSource) {
    audioSource->setOriginalPath(newURL.toLocalFile());
    audioSource->createBookmark(newURL);
  }
  setPendingRelocate(nullptr);
  setShowRelocateDialog(false);
  if (audioSource) emit fileRelocated(audioSource);
}

void FileAccessManager::setPendingRelocate(AudioSource* source) {
  m_pendingRelocate = source;
  emit pendingRelocateChanged();
}

void FileAccessManager::setShowRelocateDialog(bool show) {
  m_showRelocateDialog = show;
  emit showRelocateDialogChanged();
}

}  // namespace parlowvista
