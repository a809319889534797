#pragma once

#include <voxtrellis/AsrModels.h>

#include "ASR/TDT/TdtDecoderModel.h"
#include "ASR/TDT/TdtEncoderModel.h"
#include "ASR/TDT/TdtJointModel.h"
#include "ASR/TDT/TdtPreprocessorModel.h"
#include "support/FixturePaths.h"

#include <filesystem>
#include <vector>

namespace asrtest {

using voxtrellis::AsrModels;
using voxtrellis::AsrModelVersion;

inline std::filesystem::path fixtureRepository(AsrModelVersion version = AsrModelVersion::v3) {
  return testsupport::fixturesDir() / "asr" / AsrModels::folderName(version);
}

// The generated test models, loaded straight from the fixture folder.
inline AsrModels fixtureModels(AsrModelVersion version = AsrModelVersion::v3) {
  const auto repo = fixtureRepository(version);
  AsrModels m;
  constexpr auto cpu = voxtrellis::ComputeUnits::cpuOnly;
  m.preprocessor = voxtrellis::TdtPreprocessorModel::load(repo / "Preprocessor.mlmodelc", cpu);
  m.encoder = voxtrellis::TdtEncoderModel::load(repo / "Encoder.mlmodelc", cpu);
  m.decoder = voxtrellis::TdtDecoderModel::load(repo / "Decoder.mlmodelc", cpu);
  m.joint = voxtrellis::TdtJointModel::load(repo / "JointDecision.mlmodelc", cpu);
  m.vocabulary = AsrModels::loadVocabulary(repo, version);
  m.version = version;
  return m;
}

// One decision of the test joint network for one encoder frame.
struct FrameDecision {
  int frame = 0;
  int token = 0;
  int durationBin = 1;
  float probability = 0.9f;
  // The token the decoder must have been fed last for the joint to answer
  // `token` here (it answers blank otherwise); -1: any.
  int after = -1;
};

// Writes audio the test models read back as the given decisions: in every
// listed encoder frame (1280 samples) the first three hops of 160 samples hold
// the token code, the duration bin and the probability, and the fourth the
// required previous token when there is one. Other frames are silence, which
// the test joint reads as a blank with duration bin 0.
inline std::vector<float> renderSpeech(const std::vector<FrameDecision>& decisions, size_t sampleCount,
                                       int blankId = 8192) {
  std::vector<float> samples(sampleCount, 0.0f);
  for (const auto& d : decisions) {
    const size_t base = static_cast<size_t>(d.frame) * 1280;
    const float levels[4] = {static_cast<float>(blankId - d.token) / 10000.0f,
                             static_cast<float>(d.durationBin) / 10.0f, d.probability,
                             static_cast<float>(d.after + 1) / 10000.0f};
    for (int hop = 0; hop < 4; ++hop) {
      for (size_t i = 0; i < 160; ++i) {
        const size_t at = base + static_cast<size_t>(hop) * 160 + i;
        if (at < samples.size()) samples[at] = levels[hop];
      }
    }
  }
  return samples;
}

// An encoder output [1, 1024, frames] holding the same decisions directly.
inline voxtrellis::Tensor encoderOutput(const std::vector<FrameDecision>& decisions, int frames, int blankId = 8192) {
  using voxtrellis::Tensor;
  Tensor t = Tensor::zeros(voxtrellis::ElementType::float32, {1, 1024, frames});
  float* p = t.data<float>();
  for (const auto& d : decisions) {
    p[0 * frames + d.frame] = static_cast<float>(blankId - d.token) / 10000.0f;
    p[1 * frames + d.frame] = static_cast<float>(d.durationBin) / 10.0f;
    p[2 * frames + d.frame] = d.probability;
    p[3 * frames + d.frame] = static_cast<float>(d.after + 1) / 10000.0f;
  }
  return t;
}

}  // namespace asrtest
