#pragma once

#include "Onnx/OnnxModel.h"

#include <filesystem>
#include <memory>

namespace voxtrellis {

// The transducer's joint network with its decision ("JointDecision.mlmodelc"):
// one encoder frame and one prediction-network projection in, the chosen
// token, its probability and a duration bin out. Checks its interface when
// made: inputs "encoder_step" float32 [1, 1024, 1] and "decoder_step" float32
// [1, 640, 1]; outputs "token_id" and "duration" (int32 or int64) and
// "token_prob" (float32 or float16), one element each. Thread-safe like
// OnnxModel; a Session is used by one thread.
class TdtJointModel {
 public:
  static constexpr const char* fileName = "JointDecision.mlmodelc";

  struct Decision {
    int token = 0;
    float probability = 0;  // as the model gives it, not yet limited to 0...1
    int durationBin = 0;    // index into the configuration's duration bins
  };

  // Throws ModelRuntimeError (interfaceMismatch naming the file).
  explicit TdtJointModel(std::shared_ptr<OnnxModel> model);
  // Called once per decoding step, so loaded as a per-step model (two
  // threads that sleep between calls; see Models/ModelCosts.h).
  static std::shared_ptr<TdtJointModel> load(const std::filesystem::path& folder,
                                             ComputeUnits units = ComputeUnits::all);

  // Evaluations against one prepared decoder step ([1, 640, 1] float32, which
  // the caller refills between evaluations and keeps alive). Inputs and
  // outputs are made once and, when the model declares fixed output shapes,
  // handed to the runtime once.
  class Session {
   public:
    Session(const TdtJointModel& model, const Tensor& decoderStep);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The [1, 1024, 1] encoder frame to fill before evaluate().
    float* encoderStep() { return m_encoderStep.data<float>(); }

    // Throws ModelRuntimeError, and ASRError::processingFailed for outputs
    // that are missing or not one element each.
    Decision evaluate();

   private:
    const Tensor& output(const char* name, const char* missing);

    const OnnxModel& m_model;
    Tensor m_encoderStep;
    NamedTensors m_inputs;
    NamedTensors m_outputs;
    std::unique_ptr<OnnxModel::BoundCall> m_bound;
  };

  const OnnxModel& model() const { return *m_model; }

 private:
  std::shared_ptr<OnnxModel> m_model;
};

}  // namespace voxtrellis
