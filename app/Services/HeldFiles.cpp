#include "Services/HeldFiles.h"

#include <voxtrellis/FolderRemoval.h>

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace parlowvista {

namespace {

std::mutex g_mutex;

// The lock's descriptor of each file this process holds.
std::map<QString, int>& heldFiles() {
  static std::map<QString, int> files;
  return files;
}

// The folder that holds a path, open, and the path's name in it: what is in the folder is made,
// looked at and removed through this descriptor, by that name, never by a path again (whose
// folders may have been swapped for links since). The folder itself is taken as the path names
// it: the temporary folder the user chose.
class Parent {
 public:
  explicit Parent(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QStringLiteral(".") : slash == 0 ? QStringLiteral("/") : path.left(slash);
    m_name = QFile::encodeName(path.mid(slash + 1));
    if (!m_name.isEmpty() && m_name != "." && m_name != "..")
      m_descriptor = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  ~Parent() {
    if (m_descriptor >= 0) ::close(m_descriptor);
  }
  Parent(const Parent&) = delete;
  Parent& operator=(const Parent&) = delete;

  // -1 when the folder cannot be opened (errno says why) or the path names no entry in one.
  int descriptor() const { return m_descriptor; }
  const char* name() const { return m_name.constData(); }

  // The open file or folder is still the one the name stands for (it was not removed, or
  // replaced, since).
  bool names(int descriptor) const {
    struct stat open {};
    struct stat named {};
    return ::fstat(descriptor, &open) == 0 && ::fstatat(m_descriptor, name(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
  }

 private:
  int m_descriptor = -1;
  QByteArray m_name;
};

QString failure(const QString& path, int error) {
  return path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
}

// The running user owns the open file, which is of the kind asked for.
bool isOwn(int descriptor, bool folder) {
  struct stat file {};
  return ::fstat(descriptor, &file) == 0 && (folder ? S_ISDIR(file.st_mode) : S_ISREG(file.st_mode)) &&
         file.st_uid == ::geteuid();
}

// Makes `path` a new file or folder and holds it.
QString makeHeld(const QString& given, bool folder) {
  // One name for each, however it was written: release() may be given it another way.
  const QString path = QDir::cleanPath(given);
  const Parent parent(path);
  if (parent.descriptor() < 0) return failure(path, errno ? errno : EINVAL);
  // Readable and writable by the running user alone, whatever the umask: the folder is usually
  // the temporary folder all users share, and a download folder's files (what the tools write
  // in it) are kept from others by the folder.
  // Between the making and the lock, a start elsewhere may take the new file for a gone copy's
  // and remove it, holding the lock only while it does: the file is then made again.
  constexpr int kAttempts = 5;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (folder && ::mkdirat(parent.descriptor(), parent.name(), 0700) != 0) return failure(path, errno);
    const int descriptor =
        folder ? ::openat(parent.descriptor(), parent.name(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
               : ::openat(parent.descriptor(), parent.name(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0) {
      // A folder that went between its making and its opening is made again.
      if (folder && errno == ENOENT) continue;
      return failure(path, errno);
    }
    // A folder that went before it was opened (a start elsewhere took it for a gone copy's) may
    // have been made again by another user, in a folder all may write in: the download would go
    // to them. (A file is made by the opening itself.)
    if (folder && !isOwn(descriptor, true)) {
      ::close(descriptor);
      return failure(path, EEXIST);
    }
    ::fchmod(descriptor, folder ? 0700 : 0600);
    int locked = 0;
    do locked = ::flock(descriptor, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    // A folder without locks (some network shares) keeps the file all the same, unheld: the
    // process number in a file's name is then all a start has to go by (a folder is never
    // removed there).
    if (locked != 0 || parent.names(descriptor)) {
      const std::lock_guard lock(g_mutex);
      heldFiles()[path] = descriptor;
      return {};
    }
    ::close(descriptor);
  }
  return failure(path, EAGAIN);
}

// Removes the folder open as `descriptor`, the entry `parent` names, with all in it (through
// the descriptor: see FolderRemoval), and says whether it went. Only the running user's files
// and folders go.
bool removeOpenFolder(const Parent& parent, int descriptor, std::stop_token stop = {}) {
  std::error_code error;
  voxtrellis::FolderRemoval::removeInside(descriptor, error, ::geteuid(), std::move(stop));
  return !error && parent.names(descriptor) && ::unlinkat(parent.descriptor(), parent.name(), AT_REMOVEDIR) == 0;
}

// Removes `path`, a regular file or else a folder with all in it, when it is the running
// user's and no process holds it. Where locks cannot be taken, a file goes when
// `goneWithoutLocks` says so; a folder never does.
bool removeUnheld(const QString& path, bool folder, const std::function<bool()>& goneWithoutLocks,
                  std::stop_token stop) {
  const Parent parent(path);
  if (parent.descriptor() < 0) return false;
  // A file is opened for writing: over NFS an exclusive lock needs it.
  const int descriptor = ::openat(parent.descriptor(), parent.name(),
                                  (folder ? O_RDONLY | O_DIRECTORY : O_RDWR) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return false;
  bool removed = false;
  if (isOwn(descriptor, folder)) {
    int locked = 0;
    do locked = ::flock(descriptor, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    while (locked == EINTR);
    // Where locks work, the lock alone tells a gone copy's file from a running one's, wherever
    // that copy runs: the process number in a name says nothing of a copy in another process-id
    // namespace (where it may even be 1).
    const bool unheld = locked == 0 || (locked != EWOULDBLOCK && !folder && goneWithoutLocks && goneWithoutLocks());
    // A folder's lock is kept while its contents go, so that no copy takes it meanwhile.
    if (unheld && parent.names(descriptor)) {
      removed = folder ? removeOpenFolder(parent, descriptor, std::move(stop))
                       : ::unlinkat(parent.descriptor(), parent.name(), 0) == 0;
    }
  }
  ::close(descriptor);
  return removed;
}

}  // namespace

QString HeldFiles::create(const QString& path) {
  return makeHeld(path, false);
}

QString HeldFiles::createFolder(const QString& path) {
  return makeHeld(path, true);
}

void HeldFiles::release(const QString& path) {
  const std::lock_guard lock(g_mutex);
  const auto held = heldFiles().find(QDir::cleanPath(path));
  if (held == heldFiles().end()) return;
  ::close(held->second);
  heldFiles().erase(held);
}

bool HeldFiles::removeFolder(const QString& given) {
  const QString path = QDir::cleanPath(given);
  int descriptor = -1;
  {
    const std::lock_guard lock(g_mutex);
    if (const auto held = heldFiles().find(path); held != heldFiles().end()) {
      descriptor = held->second;
      heldFiles().erase(held);
    }
  }
  const Parent parent(path);
  if (descriptor < 0 && parent.descriptor() >= 0)
    descriptor = ::openat(parent.descriptor(), parent.name(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0) return false;
  // Removed while still held, then let go.
  const bool removed = parent.descriptor() >= 0 && isOwn(descriptor, true) && removeOpenFolder(parent, descriptor);
  ::close(descriptor);
  return removed;
}

bool HeldFiles::removeUnlessHeld(const QString& path, const std::function<bool()>& goneWithoutLocks) {
  return removeUnheld(path, false, goneWithoutLocks, {});
}

bool HeldFiles::removeFolderUnlessHeld(const QString& path, std::stop_token stop) {
  return removeUnheld(path, true, {}, std::move(stop));
}

}  // namespace parlowvista
