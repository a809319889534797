#include "Models/ModelCosts.h"

#include <voxtrellis/ModelNames.h>

#include <map>

namespace voxtrellis {

ModelCost modelCost(const std::string& modelName) {
  using namespace ModelNames;
  constexpr ModelCost heavy = ModelCost::heavy;
  // Light models share one pool of two threads that spins between calls: per
  // audio hour the decode loop took 27 s (51 s of processor time) on it, 38 s
  // (61) on two threads of its own that sleep, 28 s (86) on two of its own
  // that spin, 48 s (47) on one (bench_asr_decoding, medians of seven runs,
  // 8 cores under load 6-24); the detector 12 s against 22 s.
  constexpr ModelCost light = ModelCost::perStep;
  static const std::map<std::string, ModelCost> table = {
      // Recogniser: one call each per 15 s window.
      {ASR::preprocessorFile, heavy},
      {ASR::encoderFile, heavy},
      // Recogniser: one call per emitted token (decoder) and per encoder
      // frame visited (joint), thousands per window.
      {ASR::decoderFile, light},
      {ASR::jointFile, light},
      // End-of-utterance recogniser: every model runs once per 160 or 320 ms
      // chunk of live audio, small calls one after another.
      {ParakeetEOU::preprocessorFile, light},
      {ParakeetEOU::encoderFile, light},
      {ParakeetEOU::decoderFile, light},
      {ParakeetEOU::jointFile, light},
      // Voice-activity detector: one small recurrent step per 256 ms chunk.
      {VAD::sileroVadFile, light},
      // Offline diarizer: segmentation of 32 ten-second windows at a time,
      // filter banks of 32 windows, one embedding per window and speaker
      // over ten seconds of features: few large calls.
      {OfflineDiarizer::segmentationFile, heavy},
      {OfflineDiarizer::fbankFile, heavy},
      {OfflineDiarizer::embeddingFile, heavy},
      // Offline diarizer: a 256-to-128 projection of at most 32 vectors, too
      // small to split, while segmentation runs beside it.
      {OfflineDiarizer::pldaRhoFile, light},
      // Streaming diarizer: segmentation and embeddings of a whole chunk.
      {Diarizer::segmentationFile, heavy},
      {Diarizer::embeddingFile, heavy},
  };
  const auto found = table.find(modelName);
  return found == table.end() ? heavy : found->second;
}

}  // namespace voxtrellis
