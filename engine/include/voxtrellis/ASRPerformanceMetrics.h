#pragma once

#include <optional>
#include <string>

namespace voxtrellis {

// Timing and memory figures of one recognition run.
struct ASRPerformanceMetrics {
  double preprocessorTime = 0;          // seconds
  double encoderTime = 0;               // seconds
  double decoderTime = 0;               // seconds
  double totalProcessingTime = 0;       // seconds, wall clock of the whole operation
  float rtfx = 0;                       // audio seconds per second of processing
  float peakMemoryMB = 0;               // resident memory, MiB
  std::optional<float> gpuUtilization;  // percent; absent when not measured

  // Seven lines: "Performance Metrics:", then one "- Name: value" line each.
  std::string summary() const;

  // JSON object keyed by the field names; "gpuUtilization" only when present.
  // Reading requires the other six keys (std::invalid_argument otherwise).
  std::string toJson() const;
  static ASRPerformanceMetrics fromJson(const std::string& json);

  friend bool operator==(const ASRPerformanceMetrics&, const ASRPerformanceMetrics&) = default;
};

}  // namespace voxtrellis
