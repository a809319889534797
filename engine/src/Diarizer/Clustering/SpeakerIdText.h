#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace voxtrellis {

// A speaker id read as a decimal integer: an optional "+" or "-", then
// digits only; empty, other text or a value outside int64 gives none.
std::optional<int64_t> parseSpeakerNumber(const std::string& id);

// |hash| as a non-negative int64. The one hash whose absolute value has no
// int64 (the minimum) maps to the maximum instead of overflowing.
int64_t absoluteHashId(std::size_t hash);

// A float in its shortest round-trip decimal form, with ".0" on whole values
// ("2.5", "4.0", "inf").
std::string floatText(float value);

}  // namespace voxtrellis
