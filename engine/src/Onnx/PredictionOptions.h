#pragma once

#include "Onnx/OnnxModel.h"

#include <voxtrellis/PredictionOptions.h>

namespace voxtrellis {

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
