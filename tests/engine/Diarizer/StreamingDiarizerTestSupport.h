#pragma once

#include <voxtrellis/DiarizerModels.h>

#include "support/FixturePaths.h"
#include "support/ToneSignal.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

namespace streamtest {

constexpr int kRate = 16000;
// The generated chunked-diarizer models hear these tones as two voices.
constexpr double kVoiceA = 8.0 * 16000.0 / 270.0;
constexpr double kVoiceB = 24.0 * 16000.0 / 270.0;

inline std::filesystem::path fixtureDirectory() {
  return testsupport::fixturesDir() / "streamdiar";
}
inline std::filesystem::path repositoryDirectory() {
  return fixtureDirectory() / "speaker-diarization-onnx";
}
inline std::filesystem::path model(const std::string& file) {
  return repositoryDirectory() / file;
}
inline std::filesystem::path brokenModel(const std::string& name) {
  return fixtureDirectory() / "broken" / (name + ".mlmodelc");
}

inline voxtrellis::DiarizerModels loadModels() {
  static const auto models =
      voxtrellis::DiarizerModels::load(model("pyannote_segmentation.mlmodelc"), model("wespeaker_v2.mlmodelc"));
  return models;
}

// Cosine similarity of two vectors, worked out here rather than by the engine under test.
inline float cosine(const std::vector<float>& a, const std::vector<float>& b) {
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ab += double(a[i]) * b[i];
    aa += double(a[i]) * a[i];
    bb += double(b[i]) * b[i];
  }
  return static_cast<float>(ab / std::sqrt(aa * bb));
}

using testsupport::addTone;
using testsupport::silence;

// Two voices taking turns across three 10 s chunks: A 0–4 s, B 5–9 s, A
// 11–15 s, B 16–19 s, A 21–24 s, B 25–28 s.
inline std::vector<float> twoVoices() {
  auto audio = silence(30);
  addTone(audio, kVoiceA, 0, 4);
  addTone(audio, kVoiceB, 5, 9);
  addTone(audio, kVoiceA, 11, 15);
  addTone(audio, kVoiceB, 16, 19);
  addTone(audio, kVoiceA, 21, 24);
  addTone(audio, kVoiceB, 25, 28);
  return audio;
}

}  // namespace streamtest
