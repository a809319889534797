#pragma once

#include "Onnx/OnnxModel.h"
#include "Onnx/PredictionOptions.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace voxtrellis {

// The recogniser's encoder ("Encoder.mlmodelc"): the preprocessor's features
// to one 1024-wide vector per 80 ms encoder frame. Checks its interface when
// made: outputs "encoder" float32 rank 3 and "encoder_length" int32 or int64
// [1]; its inputs are taken by the names it declares. Thread-safe like
// OnnxModel.
class TdtEncoderModel {
 public:
  static constexpr const char* fileName = "Encoder.mlmodelc";

  struct Output {
    Tensor encoder;         // [1, 1024, T] or [1, T, 1024] float32, T encoder frames
    int encoderLength = 0;  // frames of `encoder` that are valid
  };

  // Throws ModelRuntimeError (interfaceMismatch naming the file).
  explicit TdtEncoderModel(std::shared_ptr<OnnxModel> model);
  static std::shared_ptr<TdtEncoderModel> load(const std::filesystem::path& folder,
                                               ComputeUnits units = ComputeUnits::all);

  // The input names the model declares, in its order.
  const std::vector<std::string>& inputNames() const { return m_inputNames; }

  // `features` must name every input. Throws ModelRuntimeError, and
  // ASRError::processingFailed ("Invalid encoder output", "Invalid encoder
  // output length") for an empty output.
  Output predict(const NamedTensors& features, const PredictionOptions& options = {}) const;

  const OnnxModel& model() const { return *m_model; }

 private:
  std::shared_ptr<OnnxModel> m_model;
  std::vector<std::string> m_inputNames;
};

}  // namespace voxtrellis
