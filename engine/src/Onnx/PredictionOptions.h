#pragma once

#include "Onnx/OnnxModel.h"

namespace voxtrellis {

// How one prediction runs. `outputBackings` are caller-made output tensors
// (each of its output's exact element type and shape) that the runtime
// writes in place; when empty, the runtime allocates every output.
struct PredictionOptions {
  NamedTensors outputBackings;
};

// Runs `model` with `options`: into the backings when there are any (then
// every requested output must have one), else as OnnxModel::predict does.
// Throws ModelRuntimeError.
inline NamedTensors predictWithOptions(const OnnxModel& model, const NamedTensors& inputs,
                                       const PredictionOptions& options) {
  if (options.outputBackings.empty()) {
    return model.predict(inputs);
  }
  NamedTensors outputs = options.outputBackings;
  model.predictInto(inputs, outputs);
  return outputs;
}

}  // namespace voxtrellis
