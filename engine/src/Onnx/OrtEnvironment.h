#pragma once

#include <voxtrellis/ComputeUnits.h>

#include "Onnx/ModelCost.h"

#include <onnxruntime_cxx_api.h>

#include <optional>

namespace voxtrellis {

// The one ONNX Runtime environment of the process, created on first use.
Ort::Env& ortEnvironment();

// The threads a model of `cost` gets under `units`. The whole mapping lives
// here so every model of the engine runs under the same rules.
ThreadSettings threadSettings(ComputeUnits units, ModelCost cost);

// Threads of the one pool that per-step models share (the caller's included).
int lightPoolThreads();

// A measuring seam: models of `cost` opened from now on get `settings`
// instead of the rule's (none: the rule again), so that a benchmark can
// compare candidate settings through the load path the application takes.
// A shared-pool setting must have lightPoolThreads() threads.
void overrideThreadSettings(ModelCost cost, std::optional<ThreadSettings> settings);

// Session options with those threads.
Ort::SessionOptions makeSessionOptions(ComputeUnits units, ModelCost cost = ModelCost::heavy);
Ort::SessionOptions makeSessionOptions(const ThreadSettings& threads);

// Intra-op threads a model of `cost` gets under `units`.
int intraOpThreads(ComputeUnits units, ModelCost cost);

}  // namespace voxtrellis
