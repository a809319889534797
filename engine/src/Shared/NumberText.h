#pragma once

#include <charconv>
#include <cmath>
#include <string>

namespace voxtrellis {

// Number texts of the engine; none depends on the process locale.

// A number in the shortest decimal form that reads back as the same value of
// its own type, always with a fraction or exponent ("48000.0",
// "0.3628117913832199", "1e-05").
template <typename Floating>
std::string shortestText(Floating value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  std::string out(text, result.ptr);
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

// A double in its shortest round-trip form (a float passed here is written as
// the double it widens to).
inline std::string shortestDecimal(double value) {
  return shortestText(value);
}

// printf-style fixed formatting of one double ("%.2f" and the like), always
// with a full stop: unlike printf it ignores the process locale, which a
// host application may have set to one with a decimal comma.
inline std::string formatFixed(double value, int decimals) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[400];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  if (result.ec != std::errc{}) return shortestDecimal(value);
  return std::string(text, result.ptr);
}

}  // namespace voxtrellis
