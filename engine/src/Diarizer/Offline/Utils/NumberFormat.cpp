#include "Diarizer/Offline/Utils/NumberFormat.h"

#include "Shared/NumberText.h"

#include <charconv>
#include <cmath>

namespace voxtrellis::diarization {

namespace {
template <class T>
std::string shortestImpl(T value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}
}  // namespace

std::string shortest(double value) {
  return shortestImpl(value);
}
std::string shortest(float value) {
  return shortestImpl(value);
}

std::string fixed(double value, int decimals) {
  return formatFixed(value, decimals);
}

std::string histogramText(const std::map<int, int>& counts) {
  std::string text = "[";
  bool first = true;
  for (const auto& [key, count] : counts) {
    if (!first) text += ", ";
    first = false;
    text += std::to_string(key) + ": " + std::to_string(count);
  }
  if (counts.empty()) text += ":";
  return text + "]";
}

}  // namespace voxtrellis::diarization
