#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace voxtrellis {

// An unbounded first-in first-out queue between threads that can be closed:
// after close() no more values are taken, and readers get the values already
// queued, then none. Thread-safe; push never blocks.
template <class T>
class ClosableQueue {
 public:
  // False (and the value dropped) once the queue is closed.
  bool push(T value) {
    {
      std::lock_guard lock(m_mutex);
      if (m_closed) return false;
      m_values.push_back(std::move(value));
    }
    m_ready.notify_one();
    return true;
  }

  void close() {
    {
      std::lock_guard lock(m_mutex);
      m_closed = true;
    }
    m_ready.notify_all();
  }

  // Blocks for the next value; none once the queue is closed and drained.
  std::optional<T> pop() {
    std::unique_lock lock(m_mutex);
    m_ready.wait(lock, [&] { return !m_values.empty() || m_closed; });
    return takeLocked();
  }

  // The next value if one is queued, without waiting.
  std::optional<T> tryPop() {
    std::lock_guard lock(m_mutex);
    return takeLocked();
  }

  bool isClosed() const {
    std::lock_guard lock(m_mutex);
    return m_closed;
  }

 private:
  std::optional<T> takeLocked() {
    if (m_values.empty()) return std::nullopt;
    T value = std::move(m_values.front());
    m_values.pop_front();
    return value;
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_ready;
  std::deque<T> m_values;
  bool m_closed = false;
};

}  // namespace voxtrellis
