#include "Diarizer/Offline/Extraction/OfflineFbankModel.h"
#include "Models/ModelCosts.h"

namespace voxtrellis {

OfflineFbankModel::OfflineFbankModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  m_model->requireInterface({{"audio", ElementType::float32, 3}}, {{"fbank_features", ElementType::float32, 3}});
  m_audioShape = m_model->input("audio")->shape;
}

std::shared_ptr<OfflineFbankModel> OfflineFbankModel::load(const std::filesystem::path& folder, ComputeUnits units) {
  return std::make_shared<OfflineFbankModel>(OnnxModel::load(folder, units, modelCost(fileName)));
}

Tensor OfflineFbankModel::predict(const Tensor& audio) const {
  NamedTensors outputs = m_model->predict({{"audio", audio}}, {"fbank_features"});
  return outputs["fbank_features"];
}

}  // namespace voxtrellis
