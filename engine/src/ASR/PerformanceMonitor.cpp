#include <voxtrellis/PerformanceMonitor.h>

#include "Shared/NumberText.h"
#include "Shared/SystemInfo.h"

#include <algorithm>
#include <string>

namespace voxtrellis {

std::string AggregatedMetrics::summary() const {
  return "Aggregated Metrics (" + std::to_string(sampleCount) + " samples):\n" +
         "- Average RTFx: " + formatFixed(averageRTFx, 1) + "x real-time\n" +
         "- Average Processing Time: " + formatFixed(averageProcessingTime, 3) + "s\n" +
         "- Max Memory Usage: " + formatFixed(maxMemoryMB, 1) + " MB";
}

PerformanceMonitor::PerformanceMonitor() = default;

float PerformanceMonitor::residentMemoryMB() {
  const std::optional<uint64_t> bytes = SystemInfo::currentResidentMemoryBytes();
  if (!bytes) {
    return 0.0f;
  }
  return static_cast<float>(static_cast<double>(*bytes) / 1024.0 * (1.0 / 1024.0));
}

uint64_t PerformanceMonitor::beginInterval(const char* name) {
  std::lock_guard lock(m_mutex);
  const uint64_t id = m_nextInterval++;
  m_openIntervals.push_back(id);
  m_logger.debug(std::string("Begin interval ") + name + " #" + std::to_string(id));
  return id;
}

std::string PerformanceMonitor::endInterval(uint64_t id) {
  std::lock_guard lock(m_mutex);
  auto it = std::find(m_openIntervals.begin(), m_openIntervals.end(), id);
  if (it == m_openIntervals.end()) {
    return "[Error] Interval already ended";
  }
  m_openIntervals.erase(it);
  m_logger.debug("End interval #" + std::to_string(id));
  return {};
}

void PerformanceMonitor::record(const std::string& operation, const ASRPerformanceMetrics& metrics) {
  {
    std::lock_guard lock(m_mutex);
    m_metrics.push_back(metrics);
  }
  m_logger.info(operation + " completed: " + metrics.summary());
}

std::optional<AggregatedMetrics> PerformanceMonitor::getAggregatedMetrics() const {
  std::lock_guard lock(m_mutex);
  if (m_metrics.empty()) {
    return std::nullopt;
  }
  AggregatedMetrics a;
  float rtfxSum = 0.0f;
  double timeSum = 0.0;
  for (const auto& m : m_metrics) {
    rtfxSum += m.rtfx;
    timeSum += m.totalProcessingTime;
    a.maxMemoryMB = std::max(a.maxMemoryMB, m.peakMemoryMB);
  }
  const auto n = static_cast<int64_t>(m_metrics.size());
  a.averageRTFx = rtfxSum / static_cast<float>(n);
  a.averageProcessingTime = timeSum / static_cast<double>(n);
  a.sampleCount = n;
  return a;
}

std::vector<ASRPerformanceMetrics> PerformanceMonitor::metrics() const {
  std::lock_guard lock(m_mutex);
  return m_metrics;
}

void PerformanceMonitor::reset() {
  std::lock_guard lock(m_mutex);
  m_metrics.clear();
}

}  // namespace voxtrellis
