#pragma once

#include <algorithm>
#include <iterator>
#include <optional>

namespace voxtrellis {

// The last of `sorted` (in the order of `keyOf`) whose key is at or before `value`; the first
// when none is; nothing when it is empty. How a seek picks the place it goes by.
template <class Items, class Value, class KeyOf>
std::optional<typename Items::value_type> lastAtOrBefore(const Items& sorted, const Value& value, KeyOf keyOf) {
  if (sorted.empty()) return std::nullopt;
  const auto after = std::upper_bound(sorted.begin(), sorted.end(), value,
                                      [&](const Value& wanted, const auto& item) { return wanted < keyOf(item); });
  return after == sorted.begin() ? *sorted.begin() : *std::prev(after);
}

}  // namespace voxtrellis
