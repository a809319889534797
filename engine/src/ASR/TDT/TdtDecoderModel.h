#pragma once

#include "Onnx/OnnxModel.h"

#include <filesystem>
#include <memory>
#include <span>
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

  // A run of steps, each on one token and the state the step before left.
  // The state (hidden and cell, [2, 1, 640] float32 each, zero at first)
  // lives in two pairs of arrays that the steps read and write in turn, so
  // the runtime reads each state where the previous step wrote it. Every
  // buffer is made once, and handed to the runtime once when the model
  // declares fixed float32 outputs of the expected sizes.
  class Session {
   public:
    // `projection` is a [1, 640, 1] float32 buffer, kept alive by the caller,
    // that each step overwrites with its projection when the model can
    // write it there directly.
    Session(const TdtDecoderModel& model, Tensor& projection);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The state the next step reads. setState() takes 1280 floats per array.
    void setState(std::span<const float> hidden, std::span<const float> cell);
    std::span<const float> hidden() const { return m_state[m_current].hidden.values<float>(); }
    std::span<const float> cell() const { return m_state[m_current].cell.values<float>(); }

    // Runs one step on `token` and moves to the new state. Returns the
    // projection ("decoder"): `projection` itself or the model's own output,
    // valid until the next step. Throws ModelRuntimeError, and
    // ASRError::processingFailed for an empty projection or a state of
    // another size.
    const Tensor& step(int token);

   private:
    struct StateArrays {
      Tensor hidden;
      Tensor cell;
    };
    void copyState(const Tensor& state, Tensor& destination);

    const OnnxModel& m_model;
    StateArrays m_state[2];
    int m_current = 0;
    NamedTensors m_inputs;  // for models whose outputs the runtime allocates
    Tensor* m_targets = nullptr;
    NamedTensors m_outputs;
    // Steps from state 0 to 1 and from 1 to 0, over the same token input.
    std::unique_ptr<OnnxModel::BoundCall> m_bound[2];
    Tensor m_projection;  // the caller's buffer in the model's declared shape
  };

  const OnnxModel& model() const { return *m_model; }

 private:
  std::shared_ptr<OnnxModel> m_model;
  ElementType m_targetType;
  ElementType m_lengthType;
};

}  // namespace voxtrellis
