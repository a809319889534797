#pragma once

#include "Onnx/OnnxModel.h"
#include "Onnx/PredictionOptions.h"

#include <filesystem>
#include <memory>

namespace voxtrellis {

// The recogniser's front end ("Preprocessor.mlmodelc"): 16 kHz samples to the
// encoder's features. Checks its interface when made: inputs "audio_signal"
// float32 [1, n] and "audio_length" int32 or int64 [1]. Its outputs are
// whatever the encoder declares as inputs (the mel features and their length),
// so they are handed on by name. Thread-safe like OnnxModel.
class TdtPreprocessorModel {
 public:
  static constexpr const char* fileName = "Preprocessor.mlmodelc";

  // Throws ModelRuntimeError (interfaceMismatch naming the file).
  explicit TdtPreprocessorModel(std::shared_ptr<OnnxModel> model);
  // Opens "<folder>/model.onnx" and checks it. Throws ModelRuntimeError.
  static std::shared_ptr<TdtPreprocessorModel> load(const std::filesystem::path& folder,
                                                    ComputeUnits units = ComputeUnits::all);

  // The two inputs: "audio_signal" [1, n] float32 samples (borrowed or owned)
  // and "audio_length" [1], the samples that count as audio, in the
  // declared integer width.
  NamedTensors makeInput(Tensor audioSignal, int audioLength) const;
  // The same with the length's integer type given (int32 or int64).
  static NamedTensors makeInput(Tensor audioSignal, int audioLength, ElementType lengthType);

  // Features by the model's output names (e.g. "mel" [1, 128, frames] float32
  // and "mel_length" [1]). Throws ModelRuntimeError.
  NamedTensors predict(const NamedTensors& input, const PredictionOptions& options = {}) const;

  const OnnxModel& model() const { return *m_model; }

 private:
  std::shared_ptr<OnnxModel> m_model;
  ElementType m_lengthType;
};

}  // namespace voxtrellis
