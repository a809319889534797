#include "Diarizer/Offline/Extraction/PldaRhoModel.h"
#include "Models/ModelCosts.h"

namespace voxtrellis {

PldaRhoModel::PldaRhoModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  m_model->requireInterface({{"embeddings", ElementType::float32, 2}}, {{"rho", ElementType::float32, 2}});
}

std::shared_ptr<PldaRhoModel> PldaRhoModel::load(const std::filesystem::path& folder, ComputeUnits units) {
  return std::make_shared<PldaRhoModel>(OnnxModel::load(folder, units, modelCost(fileName)));
}

Tensor PldaRhoModel::predict(const Tensor& embeddings) const {
  NamedTensors outputs = m_model->predict({{"embeddings", embeddings}}, {"rho"});
  return outputs["rho"];
}

}  // namespace voxtrellis
