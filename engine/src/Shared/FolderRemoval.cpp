#include <voxtrellis/FolderRemoval.h>

#include <cerrno>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace voxtrellis::FolderRemoval {

namespace {

std::error_code lastError() {
  return {errno, std::generic_category()};
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The names in the folder open as `folder`, read through a descriptor of its own.
std::vector<std::string> namesIn(int folder, std::error_code& error) {
  std::vector<std::string> names;
  const int listing = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  DIR* dir = listing < 0 ? nullptr : ::fdopendir(listing);
  if (!dir) {
    error = lastError();
    if (listing >= 0) ::close(listing);
    return names;
  }
  // The copy shares the folder's reading place, which an earlier listing may have moved.
  ::rewinddir(dir);
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (!entry) {
      if (errno != 0) error = lastError();
      break;
    }
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

}  // namespace

std::uintmax_t removeInside(int folder, std::error_code& error, std::optional<uid_t> owner) {
  error.clear();
  std::uintmax_t removed = 0;
  for (const std::string& name : namesIn(folder, error)) {
    std::error_code failure;
    removed += removeAt(folder, name, failure, owner);
    if (failure && !error) error = failure;
  }
  return removed;
}

std::uintmax_t removeAt(int parent, const std::string& name, std::error_code& error, std::optional<uid_t> owner) {
  error.clear();
  // An entry that turns from a folder into something else, or back, between being looked at and
  // being removed is looked at again; one that keeps changing stays.
  constexpr int kAttempts = 4;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    struct stat entry {};
    if (::fstatat(parent, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) error = lastError();
      return 0;
    }
    if (owner && entry.st_uid != *owner) return 0;
    if (!S_ISDIR(entry.st_mode)) {
      if (::unlinkat(parent, name.c_str(), 0) == 0) return 1;
      if (errno == EISDIR) continue;
      if (errno != ENOENT) error = lastError();
      return 0;
    }
    const int folder = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) {
      if (errno == ELOOP || errno == ENOTDIR) continue;
      if (errno != ENOENT) error = lastError();
      return 0;
    }
    std::uintmax_t removed = 0;
    struct stat opened {};
    if (::fstat(folder, &opened) != 0) {
      error = lastError();
    } else if (!owner || opened.st_uid == *owner) {
      removed = removeInside(folder, error, owner);
      // The name goes only while it still stands for the folder just emptied (a folder is
      // removed only when empty, so whatever else it stands for by then keeps what it holds).
      struct stat named {};
      if (::fstatat(parent, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(named, opened)) {
        if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0)
          ++removed;
        else if (!error)
          error = lastError();
      }
    }
    ::close(folder);
    return removed;
  }
  error = std::make_error_code(std::errc::resource_unavailable_try_again);
  return 0;
}

std::uintmax_t removeAll(const std::filesystem::path& path, std::error_code& error) {
  error.clear();
  std::filesystem::path named = path;
  if (!named.has_filename()) named = named.parent_path();
  const std::string name = named.filename().string();
  if (name.empty() || name == "." || name == "..") {
    error = std::make_error_code(std::errc::invalid_argument);
    return static_cast<std::uintmax_t>(-1);
  }
  const std::filesystem::path holder = named.has_parent_path() ? named.parent_path() : std::filesystem::path(".");
  const int parent = ::open(holder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) {
    if (errno == ENOENT) return 0;
    error = lastError();
    return static_cast<std::uintmax_t>(-1);
  }
  const std::uintmax_t removed = removeAt(parent, name, error);
  ::close(parent);
  return error ? static_cast<std::uintmax_t>(-1) : removed;
}

}  // namespace voxtrellis::FolderRemoval
