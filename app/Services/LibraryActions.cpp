#include "Services/LibraryActions.h"

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Services/CheckedFileWording.h"
#include "Services/FileAccessManager.h"
#include "Store/ModelContext.h"
#include "Store/StoreError.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace parlowvista {

namespace {

void printLine(const QString& line) {
  qInfo().noquote() << line;
}

QString systemReason(int error) {
  return QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace

// The file is looked at, and later removed, in the folder that holds it, which is entered from the
// owned folder (opened by its real path, as checked) one step at a time, never through a link. It
// is removed only while the owned folder is still the one checked and the file's name still
// stands for the file checked: the same device and inode, and the same change time (an inode
// number passes to the next file made once a file is gone).
class LibraryActions::CheckedFile {
 public:
  // Looks at `relative` inside `ownedFolder`: isFile() tells whether it is a regular file.
  CheckedFile(AppFile kind, QString path, QString ownedFolder, const QString& relative)
      : m_kind(kind),
        m_path(std::move(path)),
        m_ownedFolder(std::move(ownedFolder)),
        m_steps(relative.split(QLatin1Char('/'))) {
    m_name = QFile::encodeName(m_steps.takeLast());
    const int folder = openFolder(m_owned);
    m_isFile = folder >= 0 && ::fstatat(folder, m_name.constData(), &m_file, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISREG(m_file.st_mode);
    if (folder >= 0) ::close(folder);
  }

  AppFile kind() const { return m_kind; }
  bool isFile() const { return m_isFile; }
  const QString& path() const { return m_path; }

  // Removes the file while it is as it was checked and the running user owns it; else says why
  // not (empty once removed).
  QString remove() const {
    const QString folderReplaced = m_path + QStringLiteral(": a folder on its way was replaced after the check");
    struct stat owned {};
    const int folder = openFolder(owned);
    if (folder < 0) return errno == ELOOP || errno == ENOTDIR ? folderReplaced : systemReason(errno);
    struct stat named {};
    QString failure;
    if (::fstatat(folder, m_name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
      // The sample cache drops a deleted source's samples itself once the deletion is saved, on
      // a worker thread that may come first: samples already gone are deleted, not a failure.
      if (errno != ENOENT || m_kind != AppFile::cachedSamples) failure = systemReason(errno);
    } else if (owned.st_dev != m_owned.st_dev || owned.st_ino != m_owned.st_ino) {
      failure = folderReplaced;
    } else if (named.st_dev != m_file.st_dev || named.st_ino != m_file.st_ino ||
               named.st_ctim.tv_sec != m_file.st_ctim.tv_sec || named.st_ctim.tv_nsec != m_file.st_ctim.tv_nsec) {
      failure = replacedAfterTheCheck(m_path);
    } else if (named.st_uid != ::geteuid()) {
      failure = belongsToAnotherUser(m_path);
    } else if (::unlinkat(folder, m_name.constData(), 0) != 0 &&
               (errno != ENOENT || m_kind != AppFile::cachedSamples)) {
      // (Whatever took the name since lies in this folder, and a folder there stays.)
      failure = systemReason(errno);
    }
    ::close(folder);
    return failure;
  }

 private:
  // The folder that holds the file, open; -1 with errno when a step is not there or is no folder
  // (a link, say). `owned` is what the owned folder's name opened.
  int openFolder(struct stat& owned) const {
    constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int folder = ::open(QFile::encodeName(m_ownedFolder).constData(), kFolderFlags);
    if (folder >= 0 && ::fstat(folder, &owned) != 0) folder = closed(folder, -1);
    for (const QString& step : m_steps) {
      if (folder < 0) break;
      folder = closed(folder, ::openat(folder, QFile::encodeName(step).constData(), kFolderFlags));
    }
    return folder;
  }
  // Closes `folder` and returns `next`, errno as it was.
  static int closed(int folder, int next) {
    const int error = errno;
    ::close(folder);
    errno = error;
    return next;
  }

  AppFile m_kind;
  QString m_path;
  QString m_ownedFolder;
  QStringList m_steps;
  QByteArray m_name;
  struct stat m_owned {};
  struct stat m_file {};
  bool m_isFile = false;
};

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
  return !path.isEmpty() && !ownedFolderOf(QFileInfo(path).canonicalFilePath()).isEmpty();
}

QString LibraryActions::ownedFolderOf(const QString& realPath) const {
  if (realPath.isEmpty()) return {};
  for (const QString& folder : m_ownedFolders) {
    const QString root = QDir(folder).canonicalPath();
    if (!root.isEmpty() && realPath.startsWith(root + QLatin1Char('/'))) return root;
  }
  return {};
}

QList<LibraryActions::CheckedFile> LibraryActions::appFilesOf(const AudioSource* source) const {
  QList<std::pair<AppFile, QString>> paths;
  if (source->isYouTubeSource()) paths.append({AppFile::youTubeAudio, source->originalPath()});
  if (source->cachedSamplesPath()) paths.append({AppFile::cachedSamples, *source->cachedSamplesPath()});
  QList<CheckedFile> owned;
  for (const auto& [kind, path] : paths) {
    const QString real = path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
    const QString folder = ownedFolderOf(real);
    if (folder.isEmpty()) continue;
    CheckedFile file(kind, real, folder, real.mid(folder.size() + 1));
    if (file.isFile()) owned << file;
  }
  return owned;
}

void LibraryActions::removeFiles(const QList<CheckedFile>& files) {
  for (const CheckedFile& file : files) {
    const QString failure = file.remove();
    const bool audio = file.kind() == AppFile::youTubeAudio;
    if (failure.isEmpty()) {
      printLine((audio ? QStringLiteral("Deleted YouTube audio file: ") : QStringLiteral("Deleted cached samples: ")) +
                file.path());
    } else {
      printLine((audio ? QStringLiteral("Failed to delete YouTube audio file: ")
                       : QStringLiteral("Failed to delete cached samples: ")) +
                failure);
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
  QList<CheckedFile> files;
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
  const QList<CheckedFile> files = appFilesOf(source);
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
