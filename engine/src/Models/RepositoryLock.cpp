#include "Models/RepositoryLock.h"

#include <cerrno>
#include <map>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace voxtrellis {

namespace {

std::shared_ptr<std::mutex> mutexFor(const std::string& key) {
  static std::mutex registryMutex;
  static std::map<std::string, std::weak_ptr<std::mutex>> registry;
  std::lock_guard lock(registryMutex);
  auto& slot = registry[key];
  std::shared_ptr<std::mutex> mutex = slot.lock();
  if (!mutex) {
    mutex = std::make_shared<std::mutex>();
    slot = mutex;
  }
  return mutex;
}

}  // namespace

RepositoryLock::RepositoryLock(const std::filesystem::path& repositoryFolder) {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::weakly_canonical(repositoryFolder, error);
  if (error) folder = std::filesystem::absolute(repositoryFolder, error).lexically_normal();
  m_mutex = mutexFor(folder.string());
  m_guard = std::unique_lock(*m_mutex);
  // The lock file lies beside the folder so deleting the folder keeps it.
  std::filesystem::create_directories(folder.parent_path(), error);
  const std::filesystem::path lockFile = folder.string() + ".lock";
  m_fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  // Without a lock file (read-only folder) the in-process lock still holds;
  // the load itself then reports the unwritable folder.
  if (m_fd >= 0) {
    while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

RepositoryLock::~RepositoryLock() {
  if (m_fd >= 0) {
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
  }
}

}  // namespace voxtrellis
