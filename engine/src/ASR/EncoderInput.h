#pragma once

#include "Onnx/OnnxModel.h"

#include <string>
#include <vector>

namespace voxtrellis {

// The encoder's inputs: the preprocessor's outputs when they cover every name
// the encoder declares, else each name from the outputs or, failing that, from
// the preprocessor's inputs. Throws ASRError::processingFailed ("Missing
// required encoder input: ...") when a name is in neither.
NamedTensors prepareEncoderInput(const std::vector<std::string>& encoderInputNames,
                                 const NamedTensors& preprocessorOutput, const NamedTensors& originalInput);

}  // namespace voxtrellis
