#pragma once

// What another local user could do with a file or folder of the running user's.

#include <filesystem>
#include <optional>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// The permission bits of `path` itself (not what a link leads to); -1 when it is not there.
inline int permissionsOf(const std::filesystem::path& path) {
  struct stat file {};
  return ::lstat(path.c_str(), &file) == 0 ? int(file.st_mode & 07777) : -1;
}

// Whether the user "nobody" may open `path` for reading, going by its folder's and its own
// permissions alone (the folders above it do not count: a test's own are closed to others,
// where the shared temporary folder is open to all). Nothing when this run cannot tell: only
// root can act as another user.
inline std::optional<bool> nobodyCanRead(const std::filesystem::path& path) {
  const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
  if (!nobody) return std::nullopt;
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  // Opened while still root: the folder is reached without the folders above it.
  const int folder = ::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return std::nullopt;
  const std::string name = path.filename().string();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(2);
    ::_exit(::openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC) >= 0 ? 0 : 1);
  }
  ::close(folder);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 2)
    return std::nullopt;
  return WEXITSTATUS(status) == 0;
}

// Sets the process's umask while it lives.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : m_saved(::umask(mask)) {}
  ~ScopedUmask() { ::umask(m_saved); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t m_saved;
};

}  // namespace testsupport
