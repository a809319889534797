#pragma once

#include <cstdint>
#include <string>

namespace voxtrellis {

// One decoded token with its time span, in seconds from the start of the
// transcribed samples.
struct TokenTiming {
  std::string token;  // the vocabulary piece, word-start marks turned into spaces
  int64_t tokenId = 0;
  double startTime = 0;
  double endTime = 0;
  float confidence = 0;

  // JSON object with the keys "token", "tokenId", "startTime", "endTime",
  // "confidence" (all required when reading; std::invalid_argument otherwise).
  std::string toJson() const;
  static TokenTiming fromJson(const std::string& json);

  friend bool operator==(const TokenTiming&, const TokenTiming&) = default;
};

}  // namespace voxtrellis
