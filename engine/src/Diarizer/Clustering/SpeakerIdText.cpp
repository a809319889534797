#include "Diarizer/Clustering/SpeakerIdText.h"

#include "Shared/NumberText.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace voxtrellis {

std::optional<int64_t> parseSpeakerNumber(const std::string& id) {
  const char* begin = id.data();
  const char* end = begin + id.size();
  if (begin != end && *begin == '+') ++begin;
  // from_chars takes a leading "-" itself; after a "+" only digits may follow.
  if (begin == end || (begin != id.data() && *begin == '-')) return std::nullopt;
  int64_t value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

int64_t absoluteHashId(std::size_t hash) {
  const auto value = static_cast<int64_t>(hash);
  if (value == std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::max();
  return value < 0 ? -value : value;
}

std::string floatText(float value) {
  return shortestText(value);
}

}  // namespace voxtrellis
