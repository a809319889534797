#pragma once

#include "Onnx/OnnxModel.h"

#include <filesystem>
#include <memory>
#include <vector>

namespace voxtrellis {

// The offline diarizer's filter-bank front end ("FBank.mlmodelc"): windows of
// 16 kHz audio to filter-bank features. Checks its interface when made: input
// "audio" float32 [batch, 1, samples], output "fbank_features" float32
// [batch, frames, bands]. Thread-safe like OnnxModel.
class OfflineFbankModel {
 public:
  static constexpr const char* fileName = "FBank.mlmodelc";

  // Throws ModelRuntimeError (interfaceMismatch naming the file).
  explicit OfflineFbankModel(std::shared_ptr<OnnxModel> model);
  static std::shared_ptr<OfflineFbankModel> load(const std::filesystem::path& folder,
                                                 ComputeUnits units = ComputeUnits::all);

  // The declared shape of "audio" (open dimensions are -1).
  const std::vector<int64_t>& audioShape() const { return m_audioShape; }

  // `audio`: float32 windows stacked along the first dimension. Returns
  // "fbank_features", which the embedding model takes unchanged. Throws
  // ModelRuntimeError.
  Tensor predict(const Tensor& audio) const;

  const OnnxModel& model() const { return *m_model; }

 private:
  std::shared_ptr<OnnxModel> m_model;
  std::vector<int64_t> m_audioShape;
};

}  // namespace voxtrellis
