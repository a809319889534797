#pragma once

#include <voxtrellis/ASRPerformanceMetrics.h>
#include <voxtrellis/TokenTiming.h>

#include <optional>
#include <string>
#include <vector>

namespace voxtrellis {

// The outcome of one recognition.
struct ASRResult {
  std::string text;
  float confidence = 0;
  double duration = 0;                                   // seconds of audio
  double processingTime = 0;                             // seconds spent recognising
  std::optional<std::vector<TokenTiming>> tokenTimings;  // one per token, in order
  std::optional<ASRPerformanceMetrics> performanceMetrics;

  // Real-time factor duration / processingTime in single precision; infinity
  // when processingTime is 0.
  float rtfx() const;

  // JSON object with the keys "text", "confidence", "duration",
  // "processingTime", "tokenTimings", "performanceMetrics" in that order; the
  // optional two are left out when absent. Reading requires the first four
  // (std::invalid_argument otherwise; no partial value).
  std::string toJson() const;
  static ASRResult fromJson(const std::string& json);

  friend bool operator==(const ASRResult&, const ASRResult&) = default;
};

}  // namespace voxtrellis
