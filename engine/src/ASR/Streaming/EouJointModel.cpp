#include "ASR/Streaming/EouJointModel.h"

#include <voxtrellis/ASRError.h>

namespace voxtrellis {

EouJointModel::EouJointModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  m_model->requireInterface({{"encoder_step", ElementType::float32, 3}, {"decoder_step", ElementType::float32, 3}}, {});
  // The token's rank differs between conversions; its name and type do not.
  const TensorInfo* token = m_model->output("token_id");
  if (!token || token->type != ElementType::int32) {
    throw ModelRuntimeError(ModelRuntimeError::Kind::interfaceMismatch, m_model->path(),
                            "no int32 output \"token_id\"");
  }
}

int32_t EouJointModel::predict(const Tensor& encoderStep, const Tensor& decoderStep) const {
  const NamedTensors outputs =
      m_model->predict({{"encoder_step", encoderStep}, {"decoder_step", decoderStep}}, {"token_id"});
  const Tensor& token = outputs.at("token_id");
  if (token.elementCount() == 0) throw ASRError::processingFailed("Joint output holds no token");
  return token.data<int32_t>()[0];
}

}  // namespace voxtrellis
