#include "Services/HeldFiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

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

// The open file is still the one the name stands for (it was not removed, or replaced, since).
bool isNamedBy(int descriptor, const QByteArray& name) {
  struct stat open {};
  struct stat named {};
  return ::fstat(descriptor, &open) == 0 && ::lstat(name.constData(), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

QString failure(const QString& path, int error) {
  return path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
}

// Makes `path` a new file or folder and holds it.
QString makeHeld(const QString& given, bool folder) {
  // One name for each, however it was written: release() may be given it another way.
  const QString path = QDir::cleanPath(given);
  const QByteArray name = QFile::encodeName(path);
  // Between the making and the lock, a start elsewhere may take the new file for a gone copy's
  // and remove it, holding the lock only while it does: the file is then made again.
  constexpr int kAttempts = 5;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (folder && ::mkdir(name.constData(), 0777) != 0) return failure(path, errno);
    const int descriptor = folder ? ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                  : ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0) {
      // A folder that went between its making and its opening is made again.
      if (folder && errno == ENOENT) continue;
      return failure(path, errno);
    }
    int locked = 0;
    do locked = ::flock(descriptor, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    // A folder without locks (some network shares) keeps the file all the same, unheld: the
    // process number in a file's name is then all a start has to go by (a folder is never
    // removed there).
    if (locked != 0 || isNamedBy(descriptor, name)) {
      const std::lock_guard lock(g_mutex);
      heldFiles()[path] = descriptor;
      return {};
    }
    ::close(descriptor);
  }
  return failure(path, EAGAIN);
}

// Removes `path`, a regular file or else a folder with all in it (its links removed, never
// followed), when no process holds it.
bool removeUnheld(const QString& path, bool folder) {
  const QByteArray name = QFile::encodeName(path);
  // A file is opened for writing: over NFS an exclusive lock needs it.
  const int descriptor =
      ::open(name.constData(), (folder ? O_RDONLY | O_DIRECTORY : O_RDWR) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return false;
  struct stat file {};
  // A folder's lock is kept while its contents go, so that no copy takes it meanwhile.
  const bool removed = ::fstat(descriptor, &file) == 0 && (folder ? S_ISDIR(file.st_mode) : S_ISREG(file.st_mode)) &&
                       ::flock(descriptor, LOCK_EX | LOCK_NB) == 0 && isNamedBy(descriptor, name) &&
                       (folder ? QDir(path).removeRecursively() : ::unlink(name.constData()) == 0);
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

bool HeldFiles::removeUnlessHeld(const QString& path) {
  return removeUnheld(path, false);
}

bool HeldFiles::removeFolderUnlessHeld(const QString& path) {
  return removeUnheld(path, true);
}

}  // namespace parlowvista
