#pragma once

#include "Onnx/OnnxModel.h"

#include <voxtrellis/ComputeUnits.h>
#include <voxtrellis/MLMultiArray.h>

#include <filesystem>
#include <memory>

namespace voxtrellis {

// The chunked diarizer's speaker-embedding model "wespeaker_v2.mlmodelc".
//
//   "waveform"  float32 [3, 160000]   rows of 10 s of 16 kHz samples
//   "mask"      float32 [3, frames]   per segmentation frame, how much it counts
//   "embedding" float32 [3, 256]      one voice vector per row
//
// The interface (names, element types, ranks) is checked when the class is
// made. Immutable; predict() may run on several threads at once.
class WeSpeakerEmbeddingModel {
 public:
  static constexpr int64_t kRows = 3;
  static constexpr int64_t kWaveformSamples = 160000;
  static constexpr std::size_t kEmbeddingSize = 256;

  // Throws ModelRuntimeError (the load kinds, interfaceMismatch).
  static std::shared_ptr<WeSpeakerEmbeddingModel> load(const std::filesystem::path& folder, ComputeUnits units);
  // Wraps a model loaded elsewhere (the download service). Throws interfaceMismatch.
  static std::shared_ptr<WeSpeakerEmbeddingModel> fromModel(std::shared_ptr<OnnxModel> model);

  // Returns "embedding" as the runtime gave it, or an empty tensor when the
  // model produced no such output. Throws ModelRuntimeError (invalidInput,
  // inferenceFailed).
  Tensor predict(const MLMultiArrayPtr& waveform, const MLMultiArrayPtr& mask) const;

  const OnnxModel& model() const { return *m_model; }

 private:
  explicit WeSpeakerEmbeddingModel(std::shared_ptr<OnnxModel> model);
  std::shared_ptr<OnnxModel> m_model;
};

}  // namespace voxtrellis
