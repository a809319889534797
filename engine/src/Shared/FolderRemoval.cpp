#include <voxtrellis/FolderRemoval.h>

#include "Shared/FolderRemovalTesting.h"

#include <cerrno>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace voxtrellis {

namespace {

// See setFolderRemovalDescentHookForTesting().
thread_local const std::function<void(std::size_t)>* t_descentHook = nullptr;

}  // namespace

void detail::setFolderRemovalDescentHookForTesting(const std::function<void(std::size_t depth)>* hook) {
  t_descentHook = hook;
}

namespace FolderRemoval {

namespace {

// Folders kept open below the one being emptied. A tree of any depth is walked with this many
// descriptors, and a few more for a moment: a folder higher up is opened again when the walk
// comes back to it.
constexpr std::size_t kOpenFolders = 16;

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
    if (!error) error = lastError();
    if (listing >= 0) ::close(listing);
    return names;
  }
  // The copy shares the folder's reading place, which an earlier listing may have moved.
  ::rewinddir(dir);
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (!entry) {
      if (errno != 0 && !error) error = lastError();
      break;
    }
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

void keepFirst(std::error_code& error, const std::error_code& failure) {
  if (failure && !error) error = failure;
}

// What became of an entry: removed (a file, a link, anything but a folder), nothing (gone, or
// another user's, or a failure), or a folder of the owner's, open and to be emptied.
struct Entered {
  std::uintmax_t removed = 0;
  int folder = -1;
  struct stat opened {};
};

Entered enter(int parent, const std::string& name, std::error_code& error, const std::optional<uid_t>& owner) {
  // An entry that turns from a folder into something else, or back, between being looked at and
  // being removed is looked at again; one that keeps changing stays.
  constexpr int kAttempts = 4;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    struct stat entry {};
    if (::fstatat(parent, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) keepFirst(error, lastError());
      return {};
    }
    if (owner && entry.st_uid != *owner) return {};
    if (!S_ISDIR(entry.st_mode)) {
      if (::unlinkat(parent, name.c_str(), 0) == 0) return {1};
      if (errno == EISDIR) continue;
      if (errno != ENOENT) keepFirst(error, lastError());
      return {};
    }
    Entered folder;
    folder.folder = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder.folder < 0) {
      if (errno == ELOOP || errno == ENOTDIR) continue;
      if (errno != ENOENT) keepFirst(error, lastError());
      return {};
    }
    if (::fstat(folder.folder, &folder.opened) != 0) {
      keepFirst(error, lastError());
    } else if (!owner || folder.opened.st_uid == *owner) {
      return folder;
    }
    ::close(folder.folder);
    return {};
  }
  keepFirst(error, std::make_error_code(std::errc::resource_unavailable_try_again));
  return {};
}

// Empties one folder, depth first, without recursion: the folders on the way down are a list
// on the heap, each with its name in the one above, what it is (device and inode) and what of it
// is left to look at. Only the deepest few stay open; one closed is opened again from the folder
// below it ("..") or, should that be another folder by then (the folder below moved elsewhere),
// by the names on the way down from the nearest one still open, none of them through a link.
// Each is taken only when it is the very folder it was (the same device and inode): a folder
// moved or swapped for a link in the meantime stops the walk back there, and what it holds
// stays.
class Emptying {
 public:
  Emptying(int top, const struct stat& topFile, std::optional<uid_t> owner, std::stop_token stop)
      : m_owner(owner), m_stop(std::move(stop)) {
    m_levels.push_back(Level{{}, topFile, top, {}, 0});
  }
  ~Emptying() {
    for (std::size_t index = 1; index < m_levels.size(); ++index) closeLevel(index);
  }
  Emptying(const Emptying&) = delete;
  Emptying& operator=(const Emptying&) = delete;

  std::uintmax_t run(std::error_code& error) {
    m_levels.front().names = namesIn(m_levels.front().descriptor, error);
    std::uintmax_t removed = 0;
    while (!m_levels.empty()) {
      if (m_stop.stop_requested()) {
        keepFirst(error, std::make_error_code(std::errc::operation_canceled));
        break;
      }
      Level& level = m_levels.back();
      if (level.next < level.names.size()) {
        const std::string name = level.names[level.next++];
        const Entered entered = enter(level.descriptor, name, error, m_owner);
        removed += entered.removed;
        if (entered.folder >= 0) descend(name, entered, error);
        continue;
      }
      // The top folder stays (its caller removes it, or keeps it).
      if (m_levels.size() == 1) break;
      removed += ascend(error);
    }
    return removed;
  }

 private:
  struct Level {
    std::string name;
    struct stat file {};
    int descriptor = -1;
    std::vector<std::string> names;
    std::size_t next = 0;
  };

  void closeLevel(std::size_t index) {
    if (index == 0) return;  // the caller's
    Level& level = m_levels[index];
    if (level.descriptor >= 0) ::close(level.descriptor);
    level.descriptor = -1;
  }

  void descend(const std::string& name, const Entered& entered, std::error_code& error) {
    m_levels.push_back(Level{name, entered.opened, entered.folder, namesIn(entered.folder, error), 0});
    // The open ones are always the deepest: the one above those kept goes.
    if (m_levels.size() > kOpenFolders + 1) closeLevel(m_levels.size() - 1 - kOpenFolders);
    if (t_descentHook) (*t_descentHook)(m_levels.size() - 1);
  }

  // Leaves the deepest folder, emptied (or not: then it stays), for the one above, which is
  // opened again if it was closed. Returns how many entries went (the folder itself).
  std::uintmax_t ascend(std::error_code& error) {
    const std::size_t child = m_levels.size() - 1;
    const int parent = reopen(child - 1, m_levels[child].descriptor, error);
    std::uintmax_t removed = 0;
    if (parent >= 0) {
      // The name goes only while it still stands for the folder just emptied (a folder is
      // removed only when empty, so whatever else it stands for by then keeps what it holds).
      const Level& level = m_levels[child];
      struct stat named {};
      if (::fstatat(parent, level.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(named, level.file)) {
        if (::unlinkat(parent, level.name.c_str(), AT_REMOVEDIR) == 0)
          removed = 1;
        else
          keepFirst(error, lastError());
      }
    }
    closeLevel(child);
    m_levels.pop_back();
    if (parent < 0) {
      // The way back is lost: whatever is left between here and the nearest folder still open
      // stays.
      keepFirst(error, std::make_error_code(std::errc::no_such_file_or_directory));
      while (m_levels.back().descriptor < 0) m_levels.pop_back();
    }
    return removed;
  }

  // The folder of level `index` open, as it was when it was first opened; -1 when it is not
  // that folder any more.
  int reopen(std::size_t index, int below, std::error_code& error) {
    Level& level = m_levels[index];
    if (level.descriptor >= 0) return level.descriptor;
    if (below >= 0) {
      const int up = ::openat(below, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (isLevel(up, index)) return level.descriptor = up;
      if (up >= 0) ::close(up);
    }
    std::size_t from = index;
    while (m_levels[from].descriptor < 0) --from;
    int folder = m_levels[from].descriptor;
    for (std::size_t next = from + 1; next <= index; ++next) {
      const int opened = ::openat(folder, m_levels[next].name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (folder != m_levels[from].descriptor) ::close(folder);
      if (!isLevel(opened, next)) {
        if (opened >= 0)
          ::close(opened);
        else if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR)
          keepFirst(error, lastError());
        return -1;
      }
      folder = opened;
    }
    return level.descriptor = folder;
  }

  bool isLevel(int descriptor, std::size_t index) const {
    struct stat file {};
    return descriptor >= 0 && ::fstat(descriptor, &file) == 0 && sameFile(file, m_levels[index].file);
  }

  const std::optional<uid_t> m_owner;
  const std::stop_token m_stop;
  std::vector<Level> m_levels;
};

}  // namespace

std::uintmax_t removeInside(int folder, std::error_code& error, std::optional<uid_t> owner, std::stop_token stop) {
  error.clear();
  struct stat file {};
  if (::fstat(folder, &file) != 0) {
    error = lastError();
    return 0;
  }
  Emptying emptying(folder, file, owner, std::move(stop));
  return emptying.run(error);
}

std::uintmax_t removeAt(int parent, const std::string& name, std::error_code& error, std::optional<uid_t> owner,
                        std::stop_token stop) {
  error.clear();
  const Entered entered = enter(parent, name, error, owner);
  if (entered.folder < 0) return entered.removed;
  std::uintmax_t removed = 0;
  {
    Emptying emptying(entered.folder, entered.opened, owner, std::move(stop));
    removed = emptying.run(error);
  }
  // As a folder inside: the name goes only while it stands for the folder emptied.
  struct stat named {};
  if (::fstatat(parent, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(named, entered.opened)) {
    if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0)
      ++removed;
    else
      keepFirst(error, lastError());
  }
  ::close(entered.folder);
  return removed;
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

}  // namespace FolderRemoval

}  // namespace voxtrellis
