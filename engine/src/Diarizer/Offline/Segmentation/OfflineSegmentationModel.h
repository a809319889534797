#pragma once

#include "Onnx/OnnxModel.h"

#include <filesystem>
#include <memory>
#include <string>

namespace voxtrellis {

// The offline diarizer's segmentation network ("Segmentation.mlmodelc"):
// windows of 16 kHz audio to per-frame scores of the seven (or eight)
// powerset classes. Checks its interface when made: input "audio" float32
// [windows, 1, samples]; the scores are output "segments", else "log_probs",
// else the model's first output. Thread-safe like OnnxModel.
class OfflineSegmentationModel {
 public:
  static constexpr const char* fileName = "Segmentation.mlmodelc";

  // Throws ModelRuntimeError (interfaceMismatch naming the file).
  explicit OfflineSegmentationModel(std::shared_ptr<OnnxModel> model);
  static std::shared_ptr<OfflineSegmentationModel> load(const std::filesystem::path& folder,
                                                        ComputeUnits units = ComputeUnits::all);

  // Windows per prediction the model takes: its fixed batch dimension, else
  // none (0: any number).
  int64_t fixedBatch() const { return m_fixedBatch; }
  const std::string& outputName() const { return m_outputName; }

  // `audio`: [windows, 1, samples] float32. Returns the scores, [windows,
  // frames, classes] or [frames, classes], in log space; a model may answer
  // fewer windows than it was given. Throws ModelRuntimeError and
  // OfflineDiarizationError::processingFailed for an empty answer.
  Tensor predict(const Tensor& audio) const;

  const OnnxModel& model() const { return *m_model; }

 private:
  std::shared_ptr<OnnxModel> m_model;
  std::string m_outputName;
  int64_t m_fixedBatch = 0;
};

}  // namespace voxtrellis
