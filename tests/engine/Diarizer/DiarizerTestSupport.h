#pragma once

#include "Diarizer/Offline/Core/OfflineDiarizerModels.h"
#include "support/FixturePaths.h"
#include "support/ToneSignal.h"

#include <cmath>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace diarizertest {

constexpr int kRate = 16000;
constexpr double kToneA = 400.0;   // the generated models hear this as voice A
constexpr double kToneB = 1600.0;  // and this as voice B

// Folder of the generated diarizer models ("speaker-diarization-onnx" inside).
inline std::filesystem::path modelsDirectory() {
  return testsupport::fixturesDir() / "diarizer";
}
inline std::filesystem::path brokenModel(const std::string& name) {
  return modelsDirectory() / "broken" / (name + ".mlmodelc");
}

using testsupport::addTone;
using testsupport::silence;

// Voice A 0–6 s, B 6–12 s, A 12–18 s, B 17–22 s (one second of overlap),
// silence, A 26–32 s.
inline std::vector<float> conversation() {
  auto audio = silence(32);
  addTone(audio, kToneA, 0, 6);
  addTone(audio, kToneB, 6, 12);
  addTone(audio, kToneA, 12, 18);
  addTone(audio, kToneB, 17, 22);
  addTone(audio, kToneA, 26, 32);
  return audio;
}

inline std::shared_ptr<const voxtrellis::OfflineDiarizerModels> loadModels() {
  static auto models = std::make_shared<const voxtrellis::OfflineDiarizerModels>(
      voxtrellis::OfflineDiarizerModels::load(modelsDirectory()));
  return models;
}

// The message of what `body` throws, or "no error".
inline std::string errorText(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no error";
}

}  // namespace diarizertest
