#include "ASR/TDT/TdtJointModel.h"

#include <voxtrellis/ASRError.h>
#include <voxtrellis/TdtDecoderState.h>

#include "ASR/TDT/EncoderFrameView.h"
#include "Models/ModelCosts.h"
#include "Onnx/AcceptedType.h"

#include <algorithm>

namespace voxtrellis {

namespace {
constexpr const char* kOutputs[3] = {"token_id", "token_prob", "duration"};
}

TdtJointModel::TdtJointModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  const std::initializer_list<ElementType> integers = {ElementType::int32, ElementType::int64};
  const std::initializer_list<ElementType> floats = {ElementType::float32, ElementType::float16};
  // The decision outputs hold one element each, whatever their rank.
  auto rankOf = [this](const char* name) {
    const TensorInfo* info = m_model->output(name);
    return info ? info->shape.size() : std::size_t{1};
  };
  m_model->requireInterface({{"encoder_step", ElementType::float32, 3}, {"decoder_step", ElementType::float32, 3}},
                            {{"token_id", acceptedOutputType(*m_model, "token_id", integers), rankOf("token_id")},
                             {"token_prob", acceptedOutputType(*m_model, "token_prob", floats), rankOf("token_prob")},
                             {"duration", acceptedOutputType(*m_model, "duration", integers), rankOf("duration")}});
}

std::shared_ptr<TdtJointModel> TdtJointModel::load(const std::filesystem::path& folder, ComputeUnits units) {
  return std::make_shared<TdtJointModel>(OnnxModel::load(folder, units, modelCost(fileName)));
}

TdtJointModel::Session::Session(const TdtJointModel& joint, const Tensor& decoderStep) : m_model(*joint.m_model) {
  m_encoderStep = Tensor::zeros(ElementType::float32, {1, EncoderFrameView::hiddenSize, 1});
  m_inputs["encoder_step"] = m_encoderStep;
  m_inputs["decoder_step"] = decoderStep;
  const bool fixedOutputs = std::all_of(std::begin(kOutputs), std::end(kOutputs), [this](const char* name) {
    const auto& shape = m_model.output(name)->shape;
    return std::all_of(shape.begin(), shape.end(), [](int64_t d) { return d >= 0; });
  });
  if (fixedOutputs) {
    for (const char* name : kOutputs) {
      const TensorInfo* info = m_model.output(name);
      m_outputs[name] = Tensor::zeros(info->type, info->shape);
    }
    m_bound = std::make_unique<OnnxModel::BoundCall>(m_model, m_inputs, m_outputs);
  }
}

const Tensor& TdtJointModel::Session::output(const char* name, const char* missing) {
  auto it = m_outputs.find(name);
  if (it == m_outputs.end() || it->second.empty()) {
    throw ASRError::processingFailed(missing);
  }
  return it->second;
}

TdtJointModel::Decision TdtJointModel::Session::evaluate() {
  if (m_bound) {
    m_bound->run();
  } else {
    m_outputs = m_model.predict(m_inputs);
  }
  const Tensor& token = output("token_id", "Joint decision output missing token_id");
  const Tensor& probability = output("token_prob", "Joint decision output missing token_prob");
  const Tensor& duration = output("duration", "Joint decision output missing duration");
  if (token.elementCount() != 1 || probability.elementCount() != 1 || duration.elementCount() != 1) {
    throw ASRError::processingFailed("Joint decision returned unexpected tensor shapes");
  }
  Decision d;
  d.token = firstInteger(token);
  d.probability = probability.type() == ElementType::float32 ? probability.data<float>()[0] : probability.toFloats()[0];
  d.durationBin = firstInteger(duration);
  return d;
}

}  // namespace voxtrellis
