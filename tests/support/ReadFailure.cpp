// No fortified inline read() of the C library's headers in the way of the program's own.
#undef _FORTIFY_SOURCE

#include "support/ReadFailure.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// The file whose reads fail, under g_fileLock: a read on another thread (a player let go, still
// filling its buffer) may look at it while the next ReadFailure names another file.
std::atomic<bool> g_armed{false};
std::mutex g_fileLock;
dev_t g_device = 0;
ino_t g_inode = 0;
off_t g_from = 0;
std::atomic<int> g_failures{0};

template <typename Function>
Function* following(const char* name) {
  return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

// Whether `count` bytes at `offset` of `fd` may be read, and fewer of them where the read would
// cross into the failing part; false (errno EIO) for a read from within it.
bool mayRead(int fd, off_t offset, size_t& count) {
  if (!g_armed.load(std::memory_order_acquire)) return true;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || offset < 0) return true;
  const std::lock_guard lock(g_fileLock);
  if (info.st_dev != g_device || info.st_ino != g_inode) return true;
  if (offset >= g_from) {
    g_failures.fetch_add(1);
    errno = EIO;
    return false;
  }
  count = std::min<size_t>(count, size_t(g_from - offset));
  return true;
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t count) {
  static auto* const real = following<ssize_t(int, void*, size_t)>("read");
  if (g_armed.load(std::memory_order_acquire) && !mayRead(fd, ::lseek(fd, 0, SEEK_CUR), count)) return -1;
  return real(fd, buffer, count);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  static auto* const real = following<ssize_t(int, void*, size_t, off_t)>("pread");
  if (!mayRead(fd, offset, count)) return -1;
  return real(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
  static auto* const real = following<ssize_t(int, void*, size_t, off64_t)>("pread64");
  if (!mayRead(fd, offset, count)) return -1;
  return real(fd, buffer, count, offset);
}

}  // extern "C"

namespace testsupport {

ReadFailure::ReadFailure(const std::filesystem::path& file, std::int64_t from) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return;
  const std::lock_guard lock(g_fileLock);
  g_device = info.st_dev;
  g_inode = info.st_ino;
  g_from = off_t(from);
  g_failures.store(0);
  g_armed.store(true, std::memory_order_release);
}

ReadFailure::~ReadFailure() {
  g_armed.store(false, std::memory_order_release);
}

int ReadFailure::failures() {
  return g_failures.load();
}

}  // namespace testsupport
