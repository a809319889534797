#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

namespace voxtrellis {

// Exclusive use of one repository cache folder: a mutex per folder within
// this process, and an advisory lock on "<folder>.lock" beside it against
// other processes. Released on destruction.
class RepositoryLock {
 public:
  explicit RepositoryLock(const std::filesystem::path& repositoryFolder);
  ~RepositoryLock();
  RepositoryLock(const RepositoryLock&) = delete;
  RepositoryLock& operator=(const RepositoryLock&) = delete;

 private:
  std::shared_ptr<std::mutex> m_mutex;
  std::unique_lock<std::mutex> m_guard;
  int m_fd = -1;
};

}  // namespace voxtrellis
