#include "Services/FileAccessManager.h"

#include "Models/AudioSource.h"
#include "Models/FileBookmark.h"

#include <QDebug>
#include <QFileInfo>

namespace parlowvista {

FileAccessManager::FileAccessManager(QObject* parent) : QObject(parent) {}

QUrl FileAccessManager::resolveURL(AudioSource* audioSource) {
  if (!audioSource) return {};
  if (QUrl url = resolveThroughBookmark(audioSource); !url.isEmpty()) return url;

  const QString path = audioSource->originalPath();
  if (!path.isEmpty() && QFileInfo::exists(path)) {
    const QUrl url = QUrl::fromLocalFile(path);
    // So the next launch can take the bookmark road.
    audioSource->createBookmark(url);
    return url;
  }
  return {};
}

QUrl FileAccessManager::resolveThroughBookmark(AudioSource* audioSource) {
  const auto bookmark = audioSource->fileBookmark();
  if (!bookmark) return {};
  QString error;
  const auto resolution = FileBookmark::resolve(*bookmark, &error);
  if (!resolution) {
    qInfo().noquote() << QStringLiteral("Bookmark resolution failed: ") + error;
    return {};
  }
  const QUrl url = QUrl::fromLocalFile(resolution->path);
  if (startAccessingSecurityScopedResource(url)) m_activeSecurityScopes.insert(url, true);
  if (resolution->isStale) {
    const auto fresh = FileBookmark::create(resolution->path, &error);
    if (fresh)
      audioSource->setFileBookmark(fresh);
    else
      qInfo().noquote() << QStringLiteral("Failed to refresh bookmark: ") + error;
  }
  return QFileInfo::exists(resolution->path) ? url : QUrl();
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
