#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace testsupport {

// Test audio at 16 kHz, the rate the engine works at.
constexpr int kToneSignalRate = 16000;

inline std::vector<float> silence(double seconds) {
  return std::vector<float>(static_cast<std::size_t>(seconds * kToneSignalRate), 0.0f);
}

// Adds a tone of the given frequency over [start, end) seconds (cut at the end of `audio`).
inline void addTone(std::vector<float>& audio, double frequency, double start, double end, float amplitude = 0.3f) {
  constexpr double rate = kToneSignalRate;
  const auto first = static_cast<std::size_t>(start * rate);
  const auto last = std::min(audio.size(), static_cast<std::size_t>(end * rate));
  for (std::size_t i = first; i < last; ++i) {
    audio[i] += amplitude * static_cast<float>(std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / rate));
  }
}

}  // namespace testsupport
