#pragma once

#include <voxtrellis/PredictionOptions.h>
#include <voxtrellis/Tensor.h>

#include <future>
#include <memory>

namespace voxtrellis {

class OnnxModel;

// Runs one prediction of a loaded model (as DownloadUtils::loadModels gives
// them) on a worker thread, with `options`; the future yields the outputs, or
// rethrows the runtime's error (ModelRuntimeError) unchanged. The model, the
// input tensors and the backings are held until the prediction is done; the
// memory of a borrowed tensor must outlive it. `model` must not be null.
std::future<NamedTensors> compatPrediction(std::shared_ptr<const OnnxModel> model, NamedTensors features,
                                           PredictionOptions options = {});

}  // namespace voxtrellis
