#include "Diarizer/Offline/Extraction/OfflineEmbeddingModel.h"
#include "Models/ModelCosts.h"

namespace voxtrellis {

OfflineEmbeddingModel::OfflineEmbeddingModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  m_model->requireInterface({{"fbank_features", ElementType::float32, 3}, {"weights", ElementType::float32, 2}},
                            {{"embedding", ElementType::float32, 2}});
  m_weightsShape = m_model->input("weights")->shape;
}

std::shared_ptr<OfflineEmbeddingModel> OfflineEmbeddingModel::load(const std::filesystem::path& folder,
                                                                   ComputeUnits units) {
  return std::make_shared<OfflineEmbeddingModel>(OnnxModel::load(folder, units, modelCost(fileName)));
}

std::vector<float> OfflineEmbeddingModel::predict(const Tensor& fbankFeatures, const Tensor& weights) const {
  NamedTensors outputs = m_model->predict({{"fbank_features", fbankFeatures}, {"weights", weights}}, {"embedding"});
  return outputs["embedding"].toFloats();
}

}  // namespace voxtrellis
