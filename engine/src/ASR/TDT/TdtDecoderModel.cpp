#include "ASR/TDT/TdtDecoderModel.h"

#include <voxtrellis/ASRError.h>
#include <voxtrellis/TdtDecoderState.h>

#include "ASR/TDT/EncoderFrameView.h"
#include "Models/ModelCosts.h"
#include "Onnx/AcceptedType.h"

#include <algorithm>
#include <cstring>

namespace voxtrellis {

namespace {
bool isStatic(const std::vector<int64_t>& shape) {
  return std::all_of(shape.begin(), shape.end(), [](int64_t d) { return d >= 0; });
}
}  // namespace

TdtDecoderModel::TdtDecoderModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  const std::initializer_list<ElementType> integers = {ElementType::int32, ElementType::int64};
  const std::initializer_list<ElementType> floats = {ElementType::float32, ElementType::float16};
  m_targetType = acceptedInputType(*m_model, "targets", integers);
  m_lengthType = acceptedInputType(*m_model, "target_length", integers);
  m_model->requireInterface({{"targets", m_targetType, 2},
                             {"target_length", m_lengthType, 1},
                             {"h_in", ElementType::float32, 3},
                             {"c_in", ElementType::float32, 3}},
                            {{"decoder", ElementType::float32, 3},
                             {"h_out", acceptedOutputType(*m_model, "h_out", floats), 3},
                             {"c_out", acceptedOutputType(*m_model, "c_out", floats), 3}});
}

std::shared_ptr<TdtDecoderModel> TdtDecoderModel::load(const std::filesystem::path& folder, ComputeUnits units) {
  return std::make_shared<TdtDecoderModel>(OnnxModel::load(folder, units, modelCost(fileName)));
}

TdtDecoderModel::Session::Session(const TdtDecoderModel& decoder, Tensor& projection) : m_model(*decoder.m_model) {
  const std::vector<int64_t> stateShape = {TdtDecoderState::layerCount, 1, TdtDecoderState::hiddenSize};
  for (auto& pair : m_state) {
    pair.hidden = Tensor::zeros(ElementType::float32, stateShape);
    pair.cell = Tensor::zeros(ElementType::float32, stateShape);
  }
  m_inputs["targets"] = Tensor::zeros(decoder.m_targetType, {1, 1});
  m_inputs["target_length"] = integerTensor(decoder.m_lengthType, {1}, 1);
  m_targets = &m_inputs["targets"];

  const TensorInfo* declared = m_model.output("decoder");
  auto fits = [](const TensorInfo* info, std::size_t elements) {
    return info->type == ElementType::float32 && isStatic(info->shape) &&
           Tensor::countElements(info->shape) == elements;
  };
  const bool direct = projection.type() == ElementType::float32 && fits(declared, projection.elementCount()) &&
                      fits(m_model.output("h_out"), TdtDecoderState::stateElementCount) &&
                      fits(m_model.output("c_out"), TdtDecoderState::stateElementCount);
  if (!direct) {
    m_inputs["h_in"] = m_state[0].hidden;
    m_inputs["c_in"] = m_state[0].cell;
    return;
  }
  m_projection = Tensor::borrow(ElementType::float32, declared->shape, projection.rawData());
  for (int from = 0; from < 2; ++from) {
    NamedTensors inputs = m_inputs;
    inputs["h_in"] = m_state[from].hidden;
    inputs["c_in"] = m_state[from].cell;
    const NamedTensors outputs = {
        {"decoder", m_projection}, {"h_out", m_state[1 - from].hidden}, {"c_out", m_state[1 - from].cell}};
    m_bound[from] = std::make_unique<OnnxModel::BoundCall>(m_model, inputs, outputs);
  }
}

void TdtDecoderModel::Session::setState(std::span<const float> hidden, std::span<const float> cell) {
  auto& current = m_state[m_current];
  std::copy_n(hidden.begin(), std::min(hidden.size(), current.hidden.elementCount()), current.hidden.data<float>());
  std::copy_n(cell.begin(), std::min(cell.size(), current.cell.elementCount()), current.cell.data<float>());
}

const Tensor& TdtDecoderModel::Session::step(int token) {
  // The bound calls share the token input with the unbound one: the
  // tensor handles in their maps point at the same storage.
  if (m_targets->type() == ElementType::int64) {
    m_targets->data<int64_t>()[0] = token;
  } else {
    m_targets->data<int32_t>()[0] = token;
  }
  if (m_bound[m_current]) {
    m_bound[m_current]->run();
    m_current = 1 - m_current;
    return m_projection;
  }
  m_outputs = m_model.predict(m_inputs);
  const Tensor& projection = m_outputs["decoder"];
  if (projection.empty()) {
    throw ASRError::processingFailed("Invalid decoder output");
  }
  copyState(m_outputs["h_out"], m_state[m_current].hidden);
  copyState(m_outputs["c_out"], m_state[m_current].cell);
  return projection;
}

void TdtDecoderModel::Session::copyState(const Tensor& state, Tensor& destination) {
  if (state.empty()) {
    return;  // an empty state output leaves the array as it was
  }
  if (state.elementCount() != destination.elementCount()) {
    throw ASRError::processingFailed(std::string("Unexpected decoder state shape: ") + shapeList(state.shape()));
  }
  if (state.type() == ElementType::float32) {
    std::memcpy(destination.rawData(), state.rawData(), destination.byteCount());
  } else {
    const std::vector<float> widened = state.toFloats();
    std::copy(widened.begin(), widened.end(), destination.data<float>());
  }
}

}  // namespace voxtrellis
