#pragma once

#include "Onnx/ModelCost.h"

#include <string>

namespace voxtrellis {

// What one call of a catalogue model costs, by its compiled-model folder
// name ("Decoder.mlmodelc"); every model the engine loads takes its threads
// from here, whichever road loads it. A name not in the catalogue is heavy.
ModelCost modelCost(const std::string& modelName);

}  // namespace voxtrellis
