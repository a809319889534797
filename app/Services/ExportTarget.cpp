#include "Services/ExportTarget.h"

#include "Services/CheckedFileWording.h"

#include <QByteArrayList>
#include <QFile>
#include <QRandomGenerator>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>

namespace parlowvista {

namespace {

constexpr int kLinksFollowed = 40;  // as many as the system follows in one path
constexpr int kStalledMilliseconds = 2000;

QString systemReason(int code) {
  return qt_error_string(code);
}

// Closes `descriptor` and returns `code`, errno left as it was.
int closed(int descriptor, int code) {
  const int error = errno;
  ::close(descriptor);
  errno = error;
  return code;
}

// Whether a link or file found in `folder` may be followed or written. In a folder that others
// may write in and that has the sticky bit, another user may have put it there to lead the user's
// writing elsewhere; only the user and the folder's owner are trusted there (as the system's own
// protection of links and pipes in such folders trusts them).
bool mayTake(const struct stat& folder, const struct stat& found) {
  const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return !shared || found.st_uid == ::geteuid() || found.st_uid == folder.st_uid;
}

// What the link open as `link` holds; empty, with errno set, when it cannot be read.
QByteArray linkTarget(int link) {
  QByteArray target(PATH_MAX, '\0');  // no link holds more
  const ssize_t length = ::readlinkat(link, "", target.data(), static_cast<size_t>(target.size()));
  if (length <= 0) {
    if (length == 0) errno = ENOENT;
    return {};
  }
  target.truncate(length);
  return target;
}

// Writes all of `bytes` to an open regular file. False, with errno set, when the system refuses.
bool writeAll(int descriptor, const QByteArray& bytes) {
  const char* data = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(descriptor, data, static_cast<size_t>(left));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= written;
  }
  return true;
}

// Writes all of `bytes` to a pipe or device open without waiting, and waits while it takes
// nothing, but never longer than kStalledMilliseconds at a time. A reader that goes away fails the
// write ("Broken pipe") instead of ending the process with SIGPIPE. Returns why not (empty once
// written).
QString writeWithoutHanging(int descriptor, const QByteArray& bytes, const QString& shown) {
  sigset_t brokenPipe;
  ::sigemptyset(&brokenPipe);
  ::sigaddset(&brokenPipe, SIGPIPE);
  sigset_t pending;
  ::sigpending(&pending);
  const bool pendingBefore = ::sigismember(&pending, SIGPIPE) == 1;
  sigset_t before;
  ::pthread_sigmask(SIG_BLOCK, &brokenPipe, &before);

  const char* data = bytes.constData();
  qsizetype left = bytes.size();
  QString failure;
  int code = 0;
  while (left > 0 && failure.isEmpty()) {
    const ssize_t written = ::write(descriptor, data, static_cast<size_t>(left));
    if (written >= 0) {
      data += written;
      left -= written;
      continue;
    }
    code = errno;
    if (code == EINTR) continue;
    if (code != EAGAIN) {
      failure = systemReason(code);
      break;
    }
    pollfd ready{descriptor, POLLOUT, 0};
    const int woke = ::poll(&ready, 1, kStalledMilliseconds);
    if (woke == 0) {
      failure = shown + QStringLiteral(" took nothing for 2 seconds");
    } else if (woke < 0 && errno != EINTR) {
      failure = systemReason(errno);
    }
  }

  if (code == EPIPE && !pendingBefore) {
    const timespec now{};
    while (::sigtimedwait(&brokenPipe, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return failure;
}

}  // namespace

ExportTarget::ExportTarget(const QString& path) : m_shown(path) {
  find(QFile::encodeName(path));
}

ExportTarget::~ExportTarget() {
  if (m_folder >= 0) ::close(m_folder);
}

// Walks `path` one name at a time from the root or working folder, holding the folder reached
// open, and follows the links met on the way (where they may be followed) by walking on from
// the link's folder, or from the root, through what they hold.
void ExportTarget::find(const QByteArray& path) {
  const auto fail = [this](int code) { m_failure = systemReason(code); };
  if (path.isEmpty()) return fail(ENOENT);
  const bool absolute = path.startsWith('/');
  m_folder = ::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (m_folder < 0) return fail(errno);
  QByteArray walked = absolute ? QByteArray("/") : QByteArray();  // the path of the folder reached
  QByteArrayList names = path.split('/');
  int links = 0;
  while (!names.isEmpty()) {
    const QByteArray name = names.takeFirst();
    const bool last = names.isEmpty();
    if (name.isEmpty() || name == ".") {
      if (last) return fail(EISDIR);  // the path names a folder
      continue;
    }
    const QByteArray here = walked.isEmpty() || walked.endsWith('/') ? walked + name : walked + '/' + name;
    struct stat folder {};
    if (::fstat(m_folder, &folder) != 0) return fail(errno);
    // A folder on the way is asked for as one first: that mounts what waits to be mounted there.
    int entry = last ? -1 : ::openat(m_folder, name.constData(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
    if (entry < 0 && (last || errno == ENOTDIR))
      entry = ::openat(m_folder, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (entry < 0) {
      if (errno != ENOENT || !last) return fail(errno);
      m_name = name;  // a new file
      m_shown = QFile::decodeName(here);
      return;
    }
    struct stat found {};
    if (::fstat(entry, &found) != 0) return fail(closed(entry, errno));
    if (S_ISDIR(found.st_mode)) {
      if (last) return fail(closed(entry, EISDIR));
      // Another user's folder is passed through: what lies in it is looked at in turn.
      ::close(m_folder);
      m_folder = entry;
      walked = here;
      continue;
    }
    if (!mayTake(folder, found)) {
      ::close(entry);
      m_failure = belongsToAnotherUser(QFile::decodeName(here));
      return;
    }
    if (S_ISLNK(found.st_mode)) {
      const QByteArray target = linkTarget(entry);
      if (target.isEmpty()) return fail(closed(entry, errno));
      ::close(entry);
      if (++links > kLinksFollowed) return fail(ELOOP);
      if (target.startsWith('/')) {
        ::close(m_folder);
        m_folder = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (m_folder < 0) return fail(errno);
        walked = "/";
      }
      names = target.split('/') + names;
      continue;
    }
    ::close(entry);
    if (!last) return fail(ENOTDIR);
    m_name = name;
    m_shown = QFile::decodeName(here);
    m_existing = found;
    return;
  }
  fail(EISDIR);
}

QString ExportTarget::write(const QByteArray& bytes) const {
  if (!m_failure.isEmpty()) return m_failure;
  if (m_existing && !S_ISREG(m_existing->st_mode)) return writeInPlace(bytes);
  return replaceWhole(bytes);
}

QString ExportTarget::replaceWhole(const QByteArray& bytes) const {
  // The new file takes the old one's permissions, or the usual ones under the umask.
  const mode_t mode = m_existing ? (m_existing->st_mode & 07777) : 0666;
  QByteArray temporary;
  int descriptor = -1;
  for (int attempt = 0; descriptor < 0 && attempt < 100; ++attempt) {
    temporary = ".export-" + QByteArray::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, '0');
    descriptor = ::openat(m_folder, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (descriptor < 0 && errno != EEXIST) return systemReason(errno);
  }
  if (descriptor < 0) return systemReason(EEXIST);
  if (m_existing) (void)::fchmod(descriptor, mode);  // as it was, whatever the umask
  bool done = writeAll(descriptor, bytes) && ::fsync(descriptor) == 0;
  int code = errno;
  if (::close(descriptor) != 0 && done) {
    done = false;
    code = errno;
  }
  if (done && ::renameat(m_folder, temporary.constData(), m_folder, m_name.constData()) != 0) {
    done = false;
    code = errno;
  }
  if (done) return {};
  ::unlinkat(m_folder, temporary.constData(), 0);
  return systemReason(code);
}

QString ExportTarget::writeInPlace(const QByteArray& bytes) const {
  // Opened without waiting: a pipe that no program reads fails here at once.
  const int descriptor =
      ::openat(m_folder, m_name.constData(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) {
    if (errno == ENXIO && S_ISFIFO(m_existing->st_mode))
      return m_shown + QStringLiteral(" is a pipe that no program is reading");
    return systemReason(errno);
  }
  struct stat opened {};
  QString failure;
  if (::fstat(descriptor, &opened) != 0) {
    failure = systemReason(errno);
  } else if (opened.st_dev != m_existing->st_dev || opened.st_ino != m_existing->st_ino) {
    failure = replacedAfterTheCheck(m_shown);
  } else {
    failure = writeWithoutHanging(descriptor, bytes, m_shown);
  }
  if (::close(descriptor) != 0 && failure.isEmpty() && errno != EINTR) failure = systemReason(errno);
  return failure;
}

}  // namespace parlowvista
