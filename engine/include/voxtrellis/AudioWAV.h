#pragma once

#include <cstdint>
#include <vector>

namespace voxtrellis::AudioWAV {

// A complete 16-bit PCM mono WAV file image of the samples, normalised to
// their peak (all-zero input stays zero), full scale ±32767. The header's rate
// is the given rate truncated and clamped to 0...4294967295 (0 for a
// non-finite rate), so a bad rate never yields undefined output.
std::vector<uint8_t> data(const std::vector<float>& samples, double sampleRate);

}  // namespace voxtrellis::AudioWAV
