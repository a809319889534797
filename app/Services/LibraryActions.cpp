#include "Services/LibraryActions.h"

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Services/FileAccessManager.h"
#include "Store/ModelContext.h"
#include "Store/StoreError.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace parlowvista {

namespace {

void printLine(const QString& line) {
  qInfo().noquote() << line;
}

}  // namespace

LibraryActions::LibraryActions(ModelContext& context, AppSettings& settings, FileAccessManager& fileAccess,
                               QStringList ownedFolders, QObject* parent)
    : QObject(parent),
      m_context(context),
      m_settings(settings),
      m_fileAccess(fileAccess),
      m_ownedFolders(std::move(ownedFolders)) {}

QList<TranscriptGroup*> LibraryActions::groups() const {
  return m_context.fetch<TranscriptGroup>(
      {}, [](const TranscriptGroup* a, const TranscriptGroup* b) { return a->sortOrder() < b->sortOrder(); });
}

bool LibraryActions::save(const char* failurePrefix) {
  try {
    m_context.save();
    return true;
  } catch (const std::exception& error) {
    printLine(QString::fromUtf8(failurePrefix) + QString::fromUtf8(error.what()));
    return false;
  }
}

TranscriptGroup* LibraryActions::addGroup(const QString& name) {
  const QString trimmed = name.trimmed();
  if (trimmed.isEmpty()) return nullptr;
  const QList<TranscriptGroup*> all = groups();
  const qint64 sortOrder = all.isEmpty() ? 1 : all.last()->sortOrder() + 1;
  auto* group = m_context.insert(std::make_unique<TranscriptGroup>(trimmed, sortOrder));
  if (!save("Failed to add group: ")) return nullptr;
  m_settings.setLastUsedGroupId(group->id());
  return group;
}

bool LibraryActions::renameGroup(TranscriptGroup* group, const QString& name) {
  const QString trimmed = name.trimmed();
  if (!group || trimmed.isEmpty()) return false;
  group->setName(trimmed);
  group->setUpdatedAt(QDateTime::currentDateTime());
  return save("Failed to rename group: ");
}

void LibraryActions::moveGroups(QList<int> fromRows, int toRow) {
  QList<TranscriptGroup*> order = groups();
  std::sort(fromRows.begin(), fromRows.end());
  fromRows.erase(std::unique(fromRows.begin(), fromRows.end()), fromRows.end());
  QList<TranscriptGroup*> moving;
  int destination = std::clamp(toRow, 0, int(order.size()));
  for (auto it = fromRows.rbegin(); it != fromRows.rend(); ++it) {
    if (*it < 0 || *it >= order.size()) continue;
    moving.prepend(order.takeAt(*it));
    if (*it < destination) --destination;
  }
  for (int i = 0; i < moving.size(); ++i) order.insert(destination + i, moving[i]);
  for (int i = 0; i < order.size(); ++i) {
    if (order[i]->sortOrder() != i) order[i]->setSortOrder(i);
  }
  save("Failed to reorder groups: ");
}

bool LibraryActions::isOwnedFile(const QString& path) const {
  if (path.isEmpty()) return false;
  const QString real = QFileInfo(path).canonicalFilePath();
  if (real.isEmpty()) return false;
  return std::any_of(m_ownedFolders.begin(), m_ownedFolders.end(), [&](const QString& folder) {
    const QString root = QDir(folder).canonicalPath();
    return !root.isEmpty() && real.startsWith(root + QLatin1Char('/'));
  });
}

QStringList LibraryActions::appFilesOf(const AudioSource* source) const {
  QStringList paths;
  if (source->isYouTubeSource()) paths << source->originalPath();
  if (source->cachedSamplesPath()) paths << *source->cachedSamplesPath();
  QStringList owned;
  for (const QString& path : paths) {
    if (QFileInfo(path).isFile() && isOwnedFile(path)) owned << QFileInfo(path).canonicalFilePath();
  }
  return owned;
}

void LibraryActions::removeFiles(const QStringList& paths) {
  for (const QString& path : paths) {
    QFile file(path);
    if (file.remove()) {
      printLine(QStringLiteral("Deleted file: ") + path);
    } else {
      printLine(QStringLiteral("Failed to delete file: ") + file.errorString());
    }
  }
}

QString LibraryActions::deletionRefusal(const AudioSource* source) const {
  if (!source || !m_inUse || !m_inUse(source)) return {};
  return QStringLiteral("\u201C%1\u201D is being processed: it can be deleted once processing has finished.")
      .arg(source->filename());
}

QString LibraryActions::deletionRefusal(const TranscriptGroup* group) const {
  if (!group || !m_inUse) return {};
  const QList<AudioSource*> sources = group->audioSources();
  if (std::none_of(sources.begin(), sources.end(), m_inUse)) return {};
  return QStringLiteral(
             "\u201C%1\u201D holds a file that is being processed: it can be deleted once processing has finished.")
      .arg(group->name());
}

bool LibraryActions::refuseDeletion(const QString& reason) {
  if (reason.isEmpty()) return false;
  printLine(QStringLiteral("Cannot delete: ") + reason);
  emit deletionRefused(reason);
  return true;
}

bool LibraryActions::deleteGroup(TranscriptGroup* group) {
  if (!group || group->isDeleted()) return false;
  if (refuseDeletion(deletionRefusal(group))) return false;
  QStringList files;
  for (const AudioSource* source : group->audioSources()) files << appFilesOf(source);
  emit aboutToDeleteGroup(group);
  m_context.remove(group);
  if (!save("Failed to delete group: ")) return false;
  removeFiles(files);
  return true;
}

bool LibraryActions::deleteAudioSource(AudioSource* source) {
  if (!source || source->isDeleted()) return false;
  if (refuseDeletion(deletionRefusal(source))) return false;
  const QStringList files = appFilesOf(source);
  emit aboutToDeleteAudioSource(source);
  m_context.remove(source);
  if (!save("Failed to delete audio: ")) return false;
  removeFiles(files);
  return true;
}

bool LibraryActions::relocate(AudioSource* source, const QUrl& newURL) {
  if (!source || source->isDeleted()) return false;
  m_fileAccess.handleRelocation(source, newURL);
  return save("Failed to relocate file: ");
}

}  // namespace parlowvista
