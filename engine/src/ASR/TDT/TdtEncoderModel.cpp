#include "ASR/TDT/TdtEncoderModel.h"

#include <voxtrellis/ASRError.h>

#include "Models/ModelCosts.h"
#include "Onnx/AcceptedType.h"

namespace voxtrellis {

TdtEncoderModel::TdtEncoderModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  const ElementType lengthType =
      acceptedOutputType(*m_model, "encoder_length", {ElementType::int32, ElementType::int64});
  m_model->requireInterface({}, {{"encoder", ElementType::float32, 3}, {"encoder_length", lengthType, 1}});
  for (const auto& info : m_model->inputs()) {
    m_inputNames.push_back(info.name);
  }
}

std::shared_ptr<TdtEncoderModel> TdtEncoderModel::load(const std::filesystem::path& folder, ComputeUnits units) {
  return std::make_shared<TdtEncoderModel>(OnnxModel::load(folder, units, modelCost(fileName)));
}

TdtEncoderModel::Output TdtEncoderModel::predict(const NamedTensors& features, const PredictionOptions& options) const {
  NamedTensors outputs = options.outputBackings.empty() ? m_model->predict(features, {"encoder", "encoder_length"})
                                                        : predictWithOptions(*m_model, features, options);
  Output out;
  out.encoder = outputs["encoder"];
  if (out.encoder.empty()) {
    throw ASRError::processingFailed("Invalid encoder output");
  }
  const Tensor& length = outputs["encoder_length"];
  if (length.elementCount() < 1) {
    throw ASRError::processingFailed("Invalid encoder output length");
  }
  out.encoderLength = firstInteger(length);
  return out;
}

}  // namespace voxtrellis
