#include "VAD/VadModel.h"

#include <voxtrellis/VadTypes.h>

#include <algorithm>
#include <cctype>

namespace voxtrellis {

namespace {

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The exact name when the model has it, else the first float output whose
// lower-cased name contains it.
std::string resolveOutput(const OnnxModel& model, const std::string& wanted) {
  if (const TensorInfo* exact = model.output(wanted); exact && exact->type == ElementType::float32) return wanted;
  for (const TensorInfo& info : model.outputs()) {
    if (info.type == ElementType::float32 && lowered(info.name).find(wanted) != std::string::npos) return info.name;
  }
  throw ModelRuntimeError(ModelRuntimeError::Kind::interfaceMismatch, model.path(),
                          "no float32 output \"" + wanted + "\"");
}

const Tensor& outputOf(const NamedTensors& outputs, const std::string& name) {
  return outputs.at(name);
}

std::vector<float> stateOf(const Tensor& tensor, const char* what) {
  if (tensor.elementCount() < static_cast<std::size_t>(VadModel::stateSize)) {
    throw VadError::modelProcessingFailed(std::string(what) + " holds " + std::to_string(tensor.elementCount()) +
                                          " values, expected " + std::to_string(VadModel::stateSize));
  }
  const float* data = tensor.data<float>();
  return {data, data + VadModel::stateSize};
}

}  // namespace

VadModel::VadModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  m_model->requireInterface({{"audio_input", ElementType::float32, 2},
                             {"hidden_state", ElementType::float32, 2},
                             {"cell_state", ElementType::float32, 2}},
                            {});
  m_probabilityName = resolveOutput(*m_model, "vad_output");
  m_hiddenName = resolveOutput(*m_model, "new_hidden_state");
  m_cellName = resolveOutput(*m_model, "new_cell_state");
}

VadModel::Output VadModel::predict(const Tensor& audio, const Tensor& hidden, const Tensor& cell) const {
  const NamedTensors outputs =
      m_model->predict({{"audio_input", audio}, {"hidden_state", hidden}, {"cell_state", cell}},
                       {m_probabilityName, m_hiddenName, m_cellName});
  const Tensor& probability = outputOf(outputs, m_probabilityName);
  if (probability.elementCount() == 0) throw VadError::modelProcessingFailed("No VAD output");
  Output out;
  out.probability = probability.data<float>()[0];
  out.hiddenState = stateOf(outputOf(outputs, m_hiddenName), "New hidden state output");
  out.cellState = stateOf(outputOf(outputs, m_cellName), "New cell state output");
  return out;
}

}  // namespace voxtrellis
