#pragma once

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace voxtrellis {

// A double in its shortest round-trip decimal form, always with a fraction
// or exponent ("48000.0", "0.3628117913832199", "1e-05").
inline std::string shortestDecimal(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  std::string out(text, result.ptr);
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

// printf-style fixed formatting of one double ("%.2f" and the like).
inline std::string formatFixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace voxtrellis
