#pragma once

#include <voxtrellis/ComputeUnits.h>

#include "Onnx/ModelCost.h"

#include <onnxruntime_cxx_api.h>

namespace voxtrellis {

// The one ONNX Runtime environment of the process, created on first use.
Ort::Env& ortEnvironment();

// Session options for a compute-unit choice and a model's cost. The whole
// mapping lives here so every model of the engine runs under the same rules.
Ort::SessionOptions makeSessionOptions(ComputeUnits units, ModelCost cost = ModelCost::heavy);

// Intra-op threads a model of `cost` gets under `units`.
int intraOpThreads(ComputeUnits units, ModelCost cost);

}  // namespace voxtrellis
