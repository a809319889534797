#pragma once

#include "Onnx/OnnxModel.h"

#include <memory>
#include <vector>

namespace voxtrellis {

// The end-of-utterance recogniser's prediction network: the last token and
// the recurrent state (hidden and cell, [1, 1, 640] each) in; the prediction
// [1, D, U] and the next state out.
//
// Thread safety: predict may be called from several threads at once.
class EouPredictionModel {
 public:
  static constexpr int hiddenSize = 640;

  // Throws ModelRuntimeError (interfaceMismatch) naming the file.
  explicit EouPredictionModel(std::shared_ptr<OnnxModel> model);

  struct Output {
    Tensor decoder;        // [1, D, U] float32, U >= 1
    std::vector<float> h;  // 640 values
    std::vector<float> c;  // 640 values
  };
  // Throws ModelRuntimeError for a failed run and ASRError (processingFailed)
  // for an output of another shape or too few values.
  Output predict(int32_t lastToken, const std::vector<float>& h, const std::vector<float>& c) const;

 private:
  std::shared_ptr<OnnxModel> m_model;
};

}  // namespace voxtrellis
