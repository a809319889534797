#pragma once

#include "Onnx/OnnxModel.h"

#include <memory>

namespace voxtrellis {

// The end-of-utterance recogniser's joint network: one encoder frame
// [1, H, 1] and one prediction step [1, D, 1] in, the chosen token id out.
//
// Thread safety: predict may be called from several threads at once.
class EouJointModel {
 public:
  // Throws ModelRuntimeError (interfaceMismatch) naming the file.
  explicit EouJointModel(std::shared_ptr<OnnxModel> model);

  // Throws ModelRuntimeError for a failed run and ASRError (processingFailed)
  // when the output holds no token.
  int32_t predict(const Tensor& encoderStep, const Tensor& decoderStep) const;

 private:
  std::shared_ptr<OnnxModel> m_model;
};

}  // namespace voxtrellis
