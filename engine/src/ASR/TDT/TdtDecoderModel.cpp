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

TdtDecoderModel::Session::Session(const TdtDecoderModel& decoder, std::vector<float>& hidden, std::vector<float>& cell)
    : m_model(*decoder.m_model), m_hidden(hidden), m_cell(cell) {
  m_inputs["targets"] = Tensor::zeros(decoder.m_targetType, {1, 1});
  m_inputs["target_length"] = integerTensor(decoder.m_lengthType, {1}, 1);
  const std::vector<int64_t> stateShape = {TdtDecoderState::layerCount, 1, TdtDecoderState::hiddenSize};
  m_inputs["h_in"] = Tensor::borrow(ElementType::float32, stateShape, m_hidden.data());
  m_inputs["c_in"] = Tensor::borrow(ElementType::float32, stateShape, m_cell.data());
  m_targets = &m_inputs["targets"];

  // Preallocated outputs when the model declares fixed shapes; otherwise
  // the runtime allocates them per step.
  const TensorInfo* projection = m_model.output("decoder");
  const TensorInfo* hOut = m_model.output("h_out");
  const TensorInfo* cOut = m_model.output("c_out");
  m_prebound = isStatic(projection->shape) && isStatic(hOut->shape) && isStatic(cOut->shape) &&
               hOut->type == ElementType::float32 && cOut->type == ElementType::float32;
  if (m_prebound) {
    m_outputs["decoder"] = Tensor::zeros(projection->type, projection->shape);
    m_outputs["h_out"] = Tensor::zeros(hOut->type, hOut->shape);
    m_outputs["c_out"] = Tensor::zeros(cOut->type, cOut->shape);
  }
}

const Tensor& TdtDecoderModel::Session::step(int token) {
  if (m_targets->type() == ElementType::int64) {
    m_targets->data<int64_t>()[0] = token;
  } else {
    m_targets->data<int32_t>()[0] = token;
  }
  if (m_prebound) {
    m_model.predictInto(m_inputs, m_outputs);
  } else {
    m_outputs = m_model.predict(m_inputs);
  }
  const Tensor& projection = m_outputs["decoder"];
  if (projection.empty()) {
    throw ASRError::processingFailed("Invalid decoder output");
  }
  copyState(m_outputs["h_out"], m_hidden);
  copyState(m_outputs["c_out"], m_cell);
  return projection;
}

void TdtDecoderModel::Session::copyState(const Tensor& state, std::vector<float>& destination) {
  if (state.empty()) {
    return;  // an empty state output leaves the array as it was
  }
  if (state.elementCount() != destination.size()) {
    throw ASRError::processingFailed(std::string("Unexpected decoder state shape: ") + shapeList(state.shape()));
  }
  // Always into the existing storage: "h_in" and "c_in" borrow these arrays,
  // so they must never be reallocated.
  if (state.type() == ElementType::float32) {
    std::memcpy(destination.data(), state.rawData(), destination.size() * sizeof(float));
  } else {
    const std::vector<float> widened = state.toFloats();
    std::copy(widened.begin(), widened.end(), destination.begin());
  }
}

}  // namespace voxtrellis
