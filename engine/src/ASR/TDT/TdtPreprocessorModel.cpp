#include "ASR/TDT/TdtPreprocessorModel.h"

#include "Models/ModelCosts.h"
#include "Onnx/AcceptedType.h"

namespace voxtrellis {

TdtPreprocessorModel::TdtPreprocessorModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  m_lengthType = acceptedInputType(*m_model, "audio_length", {ElementType::int32, ElementType::int64});
  m_model->requireInterface({{"audio_signal", ElementType::float32, 2}, {"audio_length", m_lengthType, 1}}, {});
}

std::shared_ptr<TdtPreprocessorModel> TdtPreprocessorModel::load(const std::filesystem::path& folder,
                                                                 ComputeUnits units) {
  return std::make_shared<TdtPreprocessorModel>(OnnxModel::load(folder, units, modelCost(fileName)));
}

NamedTensors TdtPreprocessorModel::makeInput(Tensor audioSignal, int audioLength) const {
  return makeInput(std::move(audioSignal), audioLength, m_lengthType);
}

NamedTensors TdtPreprocessorModel::makeInput(Tensor audioSignal, int audioLength, ElementType lengthType) {
  NamedTensors input;
  input["audio_signal"] = std::move(audioSignal);
  input["audio_length"] = integerTensor(lengthType, {1}, audioLength);
  return input;
}

NamedTensors TdtPreprocessorModel::predict(const NamedTensors& input, const PredictionOptions& options) const {
  return predictWithOptions(*m_model, input, options);
}

}  // namespace voxtrellis
