#pragma once

#include "Onnx/OnnxModel.h"

#include <future>
#include <memory>

namespace voxtrellis {

// Runs one prediction on a worker thread; the future yields the outputs or
// rethrows the runtime's error unchanged. The model is kept alive until done.
inline std::future<NamedTensors> compatPrediction(std::shared_ptr<const OnnxModel> model, NamedTensors inputs) {
  return std::async(std::launch::async,
                    [model = std::move(model), inputs = std::move(inputs)] { return model->predict(inputs); });
}

}  // namespace voxtrellis
