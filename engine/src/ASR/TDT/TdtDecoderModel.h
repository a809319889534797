#pragma once

#include "Onnx/OnnxModel.h"

#include <filesystem>
#include <memory>
#include <vector>

namespace voxtrellis {

// The transducer's prediction network ("Decoder.mlmodelc"): one token and the
// two-layer LSTM state in, a 640-wide projection and the new state out.
// Checks its interface when made: inputs "targets" [1, 1] and
// "target_length" [1] (int32 or int64), "h_in" and "c_in" float32
// [2, 1, 640]; outputs "decoder" float32 rank 3 ([1, 640, 1] or [1, 1, 640]),
// "h_out" and "c_out" float32 or float16 [2, 1, 640]. Thread-safe like
// OnnxModel; a Session is used by one thread.
class TdtDecoderModel {
 public:
  static constexpr const char* fileName = "Decoder.mlmodelc";

  // Throws ModelRuntimeError (interfaceMismatch naming the file).
  explicit TdtDecoderModel(std::shared_ptr<OnnxModel> model);
  // Called once per decoding step, so loaded as a per-step model (two
  // threads that sleep between calls; see Models/ModelCosts.h).
  static std::shared_ptr<TdtDecoderModel> load(const std::filesystem::path& folder,
                                               ComputeUnits units = ComputeUnits::all);

  // A run of steps over one pair of state arrays (hidden and cell, 1280
  // float32 each, [2, 1, 640]), which the model reads in place and which each
  // step overwrites with the new state. Every buffer is made once, so the
  // arrays must stay alive and must not be reallocated while the session is.
  class Session {
   public:
    Session(const TdtDecoderModel& model, std::vector<float>& hidden, std::vector<float>& cell);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs one step on `token`; returns the projection ("decoder", valid
    // until the next step) and writes the new state into the arrays. Throws
    // ModelRuntimeError, and ASRError::processingFailed for an empty
    // projection or a state of another size.
    const Tensor& step(int token);

   private:
    void copyState(const Tensor& state, std::vector<float>& destination);

    const OnnxModel& m_model;
    std::vector<float>& m_hidden;
    std::vector<float>& m_cell;
    NamedTensors m_inputs;
    NamedTensors m_outputs;
    Tensor* m_targets = nullptr;
    bool m_prebound = false;
  };

  const OnnxModel& model() const { return *m_model; }

 private:
  std::shared_ptr<OnnxModel> m_model;
  ElementType m_targetType;
  ElementType m_lengthType;
};

}  // namespace voxtrellis
