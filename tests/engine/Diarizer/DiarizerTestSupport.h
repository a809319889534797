#pragma once

#include "Diarizer/Offline/Core/OfflineDiarizerModels.h"
#include "support/FixturePaths.h"

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

// Adds a tone of the given frequency over [start, end) seconds.
inline void addTone(std::vector<float>& audio, double frequency, double start, double end, float amplitude = 0.3f) {
  const auto first = static_cast<std::size_t>(start * kRate);
  const auto last = std::min(audio.size(), static_cast<std::size_t>(end * kRate));
  for (std::size_t i = first; i < last; ++i) {
    audio[i] += amplitude * static_cast<float>(std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / kRate));
  }
}

inline std::vector<float> silence(double seconds) {
  return std::vector<float>(static_cast<std::size_t>(seconds * kRate), 0.0f);
}

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
