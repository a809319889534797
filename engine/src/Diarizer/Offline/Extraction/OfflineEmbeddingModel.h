#pragma once

#include "Onnx/OnnxModel.h"

#include <filesystem>
#include <memory>
#include <vector>

namespace voxtrellis {

// The offline diarizer's speaker-embedding network ("Embedding.mlmodelc"):
// one window's filter-bank features and one speaker's frame weights to a
// voice vector. Checks its interface when made: inputs "fbank_features"
// float32 [1, frames, bands] and "weights" float32 [1, weight frames], output
// "embedding" float32 [1, 256]. Thread-safe like OnnxModel.
class OfflineEmbeddingModel {
 public:
  static constexpr const char* fileName = "Embedding.mlmodelc";

  // Throws ModelRuntimeError (interfaceMismatch naming the file).
  explicit OfflineEmbeddingModel(std::shared_ptr<OnnxModel> model);
  static std::shared_ptr<OfflineEmbeddingModel> load(const std::filesystem::path& folder,
                                                     ComputeUnits units = ComputeUnits::all);

  // The declared shape of "weights" (open dimensions are -1).
  const std::vector<int64_t>& weightsShape() const { return m_weightsShape; }

  // `fbankFeatures`: the filter-bank model's output for one window;
  // `weights`: float32 of the weights shape, one value per weight frame
  // (0...1). Returns the embedding's values as the model gives them (256 for
  // the real model; not normalised). Throws ModelRuntimeError.
  std::vector<float> predict(const Tensor& fbankFeatures, const Tensor& weights) const;

  const OnnxModel& model() const { return *m_model; }

 private:
  std::shared_ptr<OnnxModel> m_model;
  std::vector<int64_t> m_weightsShape;
};

}  // namespace voxtrellis
