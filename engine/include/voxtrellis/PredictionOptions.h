#pragma once

#include <voxtrellis/Tensor.h>

namespace voxtrellis {

// How one prediction runs. `outputBackings` are caller-made output tensors
// (each of its output's exact element type and shape) that the runtime
// writes in place; when empty, the runtime allocates every output.
struct PredictionOptions {
  NamedTensors outputBackings;
};

}  // namespace voxtrellis
