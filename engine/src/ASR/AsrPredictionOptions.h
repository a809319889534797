#pragma once

#include "Onnx/PredictionOptions.h"

namespace voxtrellis {

// The prediction options the recogniser's models run with: new options with
// no output backings, so the runtime allocates every output.
inline PredictionOptions optimizedPredictionOptions() {
  PredictionOptions options;
  options.outputBackings = {};
  return options;
}

}  // namespace voxtrellis
