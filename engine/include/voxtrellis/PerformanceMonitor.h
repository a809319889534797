#pragma once

#include <voxtrellis/ASRPerformanceMetrics.h>
#include <voxtrellis/AppLogger.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace voxtrellis {

// Averages over every tracked recognition.
struct AggregatedMetrics {
  float averageRTFx = 0;
  double averageProcessingTime = 0;  // seconds
  float maxMemoryMB = 0;
  int64_t sampleCount = 0;

  // "Aggregated Metrics (N samples):" and three "- ..." lines.
  std::string summary() const;
};

// Times whole recognition operations and single components, and keeps the
// metrics of every tracked operation. Operations are bracketed as named
// intervals ("ASR.Operation", "ASR.Component") in the debug log, standing in
// for the platform's profiling marks.
//
// Thread safety: any thread; the block runs outside the monitor's lock, so
// other callers may use the monitor meanwhile.
class PerformanceMonitor {
 public:
  PerformanceMonitor();

  // Runs `block` and records its wall-clock time, real-time factor over
  // `audioLengthSeconds` and resident memory. A failing block's exception
  // passes through and nothing is recorded.
  template <class Block>
  auto trackSession(const std::string& operation, float audioLengthSeconds, Block&& block)
      -> std::pair<decltype(block()), ASRPerformanceMetrics> {
    const uint64_t interval = beginInterval("ASR.Operation");
    const auto start = std::chrono::steady_clock::now();
    const float startMemory = residentMemoryMB();
    auto result = block();
    const double duration = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const float endMemory = residentMemoryMB();
    ASRPerformanceMetrics m;
    m.totalProcessingTime = duration;
    m.rtfx = audioLengthSeconds / static_cast<float>(duration);
    m.peakMemoryMB = std::max(startMemory, endMemory);
    endInterval(interval);
    record(operation, m);
    return {std::move(result), m};
  }

  // Runs `block` and returns its result with the elapsed seconds; records nothing.
  template <class Block>
  auto trackComponent(const std::string& /*name*/, Block&& block) -> std::pair<decltype(block()), double> {
    const uint64_t interval = beginInterval("ASR.Component");
    const auto start = std::chrono::steady_clock::now();
    auto result = block();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    endInterval(interval);
    return {std::move(result), elapsed};
  }

  std::optional<AggregatedMetrics> getAggregatedMetrics() const;
  std::vector<ASRPerformanceMetrics> metrics() const;
  void reset();

  // The process's resident memory in MiB; 0 when it cannot be read.
  static float residentMemoryMB();

 private:
  uint64_t beginInterval(const char* name);
  // Returns the end message: empty, or "[Error] Interval already ended".
  std::string endInterval(uint64_t id);
  void record(const std::string& operation, const ASRPerformanceMetrics& metrics);

  AppLogger m_logger{"Performance"};
  mutable std::mutex m_mutex;
  std::vector<ASRPerformanceMetrics> m_metrics;
  std::vector<uint64_t> m_openIntervals;
  uint64_t m_nextInterval = 1;
};

}  // namespace voxtrellis
