#pragma once

// Trees deeper than any path may be long (PATH_MAX), made and looked at through descriptors.

#include <voxtrellis/FolderRemoval.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

// Makes `top` (which must not be there) with a folder "d" in it, "d" in that, and so on,
// `levels` folders in all, the deepest holding a file "end". Returns whether it was made.
inline bool makeDeepFolder(const std::filesystem::path& top, int levels) {
  if (::mkdir(top.c_str(), 0700) != 0) return false;
  int folder = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 1; folder >= 0 && level < levels; ++level) {
    const int next = ::mkdirat(folder, "d", 0700) == 0 ? ::openat(folder, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    ::close(folder);
    folder = next;
  }
  if (folder < 0) return false;
  const int end = ::openat(folder, "end", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ::close(folder);
  if (end < 0) return false;
  ::close(end);
  return true;
}

// How many folders deep `top` goes along "d" (0: it is not there).
inline int depthOf(const std::filesystem::path& top) {
  int folder = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int depth = 0;
  while (folder >= 0) {
    ++depth;
    const int next = ::openat(folder, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(folder);
    folder = next;
  }
  return depth;
}

// A fresh folder for deep trees, removed with all in it (a removal by paths cannot reach their
// depths) when the object goes: in /dev/shm where there is one, else in the temporary folder.
// (Memory: 20,000 folders come and go there in a second, where a disk of a busy machine takes a
// minute, whatever removes them.)
class DeepTreeFolder {
 public:
  DeepTreeFolder() {
    for (const std::filesystem::path& base :
         {std::filesystem::path("/dev/shm"), std::filesystem::temp_directory_path()}) {
      std::string pattern = (base / "pv-deep-XXXXXX").string();
      if (::mkdtemp(pattern.data())) {
        m_path = pattern;
        return;
      }
    }
    throw std::runtime_error("cannot make a folder for a deep tree");
  }
  ~DeepTreeFolder() {
    std::error_code ignored;
    voxtrellis::FolderRemoval::removeAll(m_path, ignored);
  }
  DeepTreeFolder(const DeepTreeFolder&) = delete;
  DeepTreeFolder& operator=(const DeepTreeFolder&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

 private:
  std::filesystem::path m_path;
};

}  // namespace testsupport
