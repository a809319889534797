#include "Models/RepositoryLock.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace voxtrellis {
namespace {

using Clock = std::chrono::steady_clock;

TEST(RepositoryLockTest, AnotherProcessWaitsForTheFolder) {
  testsupport::TempDir dir("repo-lock");
  const auto folder = dir / "Models/parakeet";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    {
      RepositoryLock lock(folder);
      const char byte = 1;
      [[maybe_unused]] auto written = write(ready[1], &byte, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  const auto started = Clock::now();
  {
    RepositoryLock lock(folder);
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(200));
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  close(ready[0]);
  close(ready[1]);
}

TEST(RepositoryLockTest, ThreadsOfOneProcessTakeTurnsAndOtherFoldersDoNotWait) {
  testsupport::TempDir dir("repo-lock");
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      RepositoryLock lock(dir / "Models/parakeet");
      const int now = ++inside;
      most = std::max(most.load(), now);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      --inside;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(most.load(), 1);

  RepositoryLock held(dir / "Models/a");
  const auto started = Clock::now();
  RepositoryLock other(dir / "Models/b");
  EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(100));
}

}  // namespace
}  // namespace voxtrellis
