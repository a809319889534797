#pragma once

#include <voxtrellis/VadManager.h>

#include "Onnx/OnnxModel.h"
#include "support/FixturePaths.h"

#include <filesystem>
#include <memory>
#include <vector>

namespace voxtrellis::test {

// The generated detector model: probability = mean absolute level of the
// chunk's 4096 new samples (capped at 1); hidden state counts chunks; cell
// state = mean of the 64 context samples.
inline std::filesystem::path vadFixture(const std::string& variant) {
  return testsupport::fixturesDir() / "streaming" / variant / "silero-vad-unified-256ms-v6.0.0.mlmodelc";
}
inline std::filesystem::path vadBaseFolder() {
  return testsupport::fixturesDir() / "streaming" / "vad-base";
}
inline std::unique_ptr<VadManager> fixtureVad(float threshold = 0.85f) {
  VadConfig config;
  config.defaultThreshold = threshold;
  return std::make_unique<VadManager>(config, vadBaseFolder());
}

// Chunks of 4096 samples at the given constant levels.
inline std::vector<float> levels(const std::vector<float>& perChunk) {
  std::vector<float> out;
  for (float level : perChunk) out.insert(out.end(), VadManager::chunkSize, level);
  return out;
}

}  // namespace voxtrellis::test
