#pragma once

#include "Diarizer/Offline/Core/OfflineStageTypes.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>

namespace voxtrellis {

// Bounded hand-over of segmentation windows from the segmentation thread to
// the embedding thread. The producer waits while the queue is full, so memory
// stays bounded however slow the consumer is.
class ChunkQueue {
 public:
  explicit ChunkQueue(std::size_t capacity) : m_capacity(capacity < 1 ? 1 : capacity) {}

  // False when the consumer has gone away (the chunk is dropped).
  bool push(SegmentationChunk chunk) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_items.size() < m_capacity || m_consumerGone; });
    if (m_consumerGone) return false;
    m_items.push_back(std::move(chunk));
    m_changed.notify_all();
    return true;
  }

  // Ends the stream, with an error when one is given. Chunks already queued
  // are still delivered, then the error is thrown to the consumer.
  void finish(std::exception_ptr error = nullptr) {
    std::lock_guard lock(m_mutex);
    if (m_finished) return;
    m_finished = true;
    m_error = error;
    m_changed.notify_all();
  }

  // The consumer stops reading: a waiting producer wakes up.
  void closeConsumer() {
    std::lock_guard lock(m_mutex);
    m_consumerGone = true;
    m_items.clear();
    m_changed.notify_all();
  }

  // The next chunk, none at the end; rethrows the stream's error.
  std::optional<SegmentationChunk> pop() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return !m_items.empty() || m_finished; });
    if (!m_items.empty()) {
      SegmentationChunk chunk = std::move(m_items.front());
      m_items.pop_front();
      m_changed.notify_all();
      return chunk;
    }
    if (m_error) std::rethrow_exception(m_error);
    return std::nullopt;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<SegmentationChunk> m_items;
  std::size_t m_capacity;
  bool m_finished = false;
  bool m_consumerGone = false;
  std::exception_ptr m_error;
};

}  // namespace voxtrellis
