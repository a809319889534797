#pragma once

#include "Onnx/OnnxModel.h"

#include <voxtrellis/ComputeUnits.h>
#include <voxtrellis/MLMultiArray.h>

#include <filesystem>
#include <memory>

namespace voxtrellis {

// The chunked diarizer's segmentation model "pyannote_segmentation.mlmodelc".
//
//   "audio"    float32 [1, 1, 160000]        10 s of 16 kHz mono samples
//   "segments" float32 [batch, frames, 7]    per 16.875 ms frame, the scores of
//                                            the seven powerset classes
//
// The interface (names, element types, ranks) is checked when the class is
// made. Immutable; predict() may run on several threads at once.
class PyannoteSegmentationModel {
 public:
  static constexpr int64_t kChunkSamples = 160000;

  // Throws ModelRuntimeError (the load kinds, interfaceMismatch).
  static std::shared_ptr<PyannoteSegmentationModel> load(const std::filesystem::path& folder, ComputeUnits units);
  // Wraps a model loaded elsewhere (the download service). Throws interfaceMismatch.
  static std::shared_ptr<PyannoteSegmentationModel> fromModel(std::shared_ptr<OnnxModel> model);

  // `audio` must be float32 [1, 1, 160000]. Returns "segments" as the runtime
  // gave it. Throws ModelRuntimeError (invalidInput, inferenceFailed).
  Tensor predict(const MLMultiArrayPtr& audio) const;

  const OnnxModel& model() const { return *m_model; }

 private:
  explicit PyannoteSegmentationModel(std::shared_ptr<OnnxModel> model);
  std::shared_ptr<OnnxModel> m_model;
};

}  // namespace voxtrellis
