#include <voxtrellis/CompatPrediction.h>

#include "Onnx/PredictionOptions.h"

namespace voxtrellis {

std::future<NamedTensors> compatPrediction(std::shared_ptr<const OnnxModel> model, NamedTensors features,
                                           PredictionOptions options) {
  return std::async(std::launch::async,
                    [model = std::move(model), features = std::move(features), options = std::move(options)] {
                      return predictWithOptions(*model, features, options);
                    });
}

}  // namespace voxtrellis
