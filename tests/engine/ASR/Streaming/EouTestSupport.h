#pragma once

#include <voxtrellis/AudioFormat.h>

#include "support/FixturePaths.h"

#include <filesystem>
#include <random>
#include <vector>

namespace voxtrellis::test {

// The generated end-of-utterance models (tools/fixtures/streaming.py): every
// chunk whose mean log energy is above -8 adds the word "w<n>", n the number
// of chunks the encoder caches have seen; a quieter chunk ends the utterance;
// a very loud chunk (above -1) at an even n makes the joint network fail.
// Variant "160ms-frames" decides speech per encoder frame instead.
inline std::filesystem::path eouFolder(const char* variant = "160ms") {
  return testsupport::fixturesDir() / "streaming" / "eou" / variant;
}

// Noise at the given level: 0.05 is speech, and half a chunk of it beside
// silence is not; 0.9 is very loud.
inline std::vector<float> noise(std::size_t count, float sigma, unsigned seed = 3) {
  std::mt19937 random(seed);
  std::normal_distribution<float> gaussian(0.0f, sigma);
  std::vector<float> out(count);
  for (float& s : out) s = gaussian(random);
  return out;
}

inline AudioPCMBuffer buffer(const std::vector<float>& samples) {
  return AudioPCMBuffer::fromChannels(16000.0, {samples});
}

}  // namespace voxtrellis::test
