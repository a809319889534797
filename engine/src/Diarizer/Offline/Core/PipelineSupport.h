#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace voxtrellis {

// Raised inside a stage when the pipeline cancelled it after a failure elsewhere.
class DiarizationCancelled : public std::runtime_error {
 public:
  DiarizationCancelled() : std::runtime_error("Diarization was cancelled") {}
};

// Shared stop request between the pipeline and its two stage threads.
class CancellationFlag {
 public:
  void cancel() { m_cancelled.store(true, std::memory_order_release); }
  bool isCancelled() const { return m_cancelled.load(std::memory_order_acquire); }
  void throwIfCancelled() const {
    if (isCancelled()) throw DiarizationCancelled();
  }

 private:
  std::atomic<bool> m_cancelled{false};
};

inline void throwIfCancelled(const CancellationFlag* flag) {
  if (flag != nullptr) flag->throwIfCancelled();
}

// How the stages read audio: a sample count and a copy of a range. The copy
// must be safe to call from two threads at once and throws on read failures.
struct SampleReader {
  int64_t sampleCount = 0;
  // Copies min(count, sampleCount − offset) samples from `offset` into `destination`.
  std::function<void(float* destination, int64_t offset, int64_t count)> copySamples;

  static SampleReader fromVector(std::shared_ptr<const std::vector<float>> samples) {
    SampleReader reader;
    reader.sampleCount = static_cast<int64_t>(samples->size());
    reader.copySamples = [samples](float* destination, int64_t offset, int64_t count) {
      const int64_t total = static_cast<int64_t>(samples->size());
      if (count < 1 || offset >= total) return;
      const int64_t start = offset < 0 ? 0 : offset;
      const int64_t n = std::min(count, total - start);
      std::copy_n(samples->data() + start, n, destination);
    };
    return reader;
  }
};

}  // namespace voxtrellis
