#include "ASR/Streaming/EouPredictionModel.h"

#include <voxtrellis/ASRError.h>

namespace voxtrellis {

namespace {
std::vector<float> stateOf(const Tensor& tensor, const char* name) {
  if (tensor.type() != ElementType::float32 || tensor.elementCount() < EouPredictionModel::hiddenSize) {
    throw ASRError::processingFailed(std::string("Decoder output ") + name + " holds " +
                                     std::to_string(tensor.elementCount()) + " values, expected 640");
  }
  const float* data = tensor.data<float>();
  return {data, data + EouPredictionModel::hiddenSize};
}
}  // namespace

EouPredictionModel::EouPredictionModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  m_model->requireInterface(
      {{"targets", ElementType::int32, 2},
       {"target_length", ElementType::int32, 1},
       {"h_in", ElementType::float32, 3},
       {"c_in", ElementType::float32, 3}},
      {{"decoder", ElementType::float32, 3}, {"h_out", ElementType::float32, 3}, {"c_out", ElementType::float32, 3}});
}

EouPredictionModel::Output EouPredictionModel::predict(int32_t lastToken, const std::vector<float>& h,
                                                       const std::vector<float>& c) const {
  int32_t token = lastToken;
  int32_t length = 1;
  NamedTensors inputs{{"targets", Tensor::borrow(ElementType::int32, {1, 1}, &token)},
                      {"target_length", Tensor::borrow(ElementType::int32, {1}, &length)},
                      {"h_in", Tensor::borrow(ElementType::float32, {1, 1, hiddenSize}, const_cast<float*>(h.data()))},
                      {"c_in", Tensor::borrow(ElementType::float32, {1, 1, hiddenSize}, const_cast<float*>(c.data()))}};
  NamedTensors outputs = m_model->predict(inputs, {"decoder", "h_out", "c_out"});
  Output out;
  out.decoder = outputs.at("decoder");
  const auto& shape = out.decoder.shape();
  if (shape.size() != 3 || shape[0] != 1 || shape[1] < 1 || shape[2] < 1) {
    throw ASRError::processingFailed("Decoder output has no prediction step");
  }
  out.h = stateOf(outputs.at("h_out"), "h_out");
  out.c = stateOf(outputs.at("c_out"), "c_out");
  return out;
}

}  // namespace voxtrellis
