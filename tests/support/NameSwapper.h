#pragma once

// Swaps names over and over from a thread of its own, as someone attacking a removal would: a
// folder and a link to a folder elsewhere trade places (renameat2 with RENAME_EXCHANGE) between
// the removal's look at a name and its use of it.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <stdio.h>

namespace testsupport {

class NameSwapper {
 public:
  using Pair = std::pair<std::filesystem::path, std::filesystem::path>;

  // Each pair's two names trade places twice in a row, so that they are as they were between
  // two rounds (unless something removed one of them meanwhile). Nothing happens until start().
  explicit NameSwapper(std::vector<Pair> pairs) : m_pairs(std::move(pairs)), m_thread([this] { run(); }) {}
  ~NameSwapper() {
    m_stop = true;
    m_thread.join();
  }
  NameSwapper(const NameSwapper&) = delete;
  NameSwapper& operator=(const NameSwapper&) = delete;

  // Returns once the names have begun to trade places.
  void start() {
    const long seen = m_rounds.load();
    m_on = true;
    while (m_rounds.load() == seen) std::this_thread::yield();
  }
  // Returns once the swapping has stopped, at the end of a round.
  void stop() {
    m_on = false;
    const long seen = m_rests.load();
    while (m_rests.load() == seen) std::this_thread::yield();
  }
  // How many times two names traded places.
  long exchanges() const { return m_exchanges.load(); }

 private:
  void run() {
    while (!m_stop) {
      if (!m_on) {
        ++m_rests;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        continue;
      }
      for (const auto& [a, b] : m_pairs) {
        if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) continue;
        ++m_exchanges;
        if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) ++m_exchanges;
      }
      ++m_rounds;
    }
  }

  const std::vector<Pair> m_pairs;
  std::atomic<bool> m_on{false};
  std::atomic<bool> m_stop{false};
  std::atomic<long> m_rests{0};
  std::atomic<long> m_rounds{0};
  std::atomic<long> m_exchanges{0};
  std::thread m_thread;
};

}  // namespace testsupport
