#include "Diarizer/Offline/Segmentation/OfflineSegmentationModel.h"
#include "Models/ModelCosts.h"

#include <voxtrellis/OfflineDiarizationError.h>

namespace voxtrellis {

OfflineSegmentationModel::OfflineSegmentationModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  for (const char* preferred : {"segments", "log_probs"}) {
    if (m_model->output(preferred)) {
      m_outputName = preferred;
      break;
    }
  }
  if (m_outputName.empty()) {
    m_outputName = m_model->outputs().empty() ? std::string("segments") : m_model->outputs().front().name;
  }
  m_model->requireInterface({{"audio", ElementType::float32, 3}},
                            {{m_outputName, ElementType::float32,
                              m_model->output(m_outputName) ? m_model->output(m_outputName)->shape.size() : 3}});
  const auto& declared = m_model->input("audio")->shape;
  m_fixedBatch = declared.front() >= 1 ? declared.front() : 0;
}

std::shared_ptr<OfflineSegmentationModel> OfflineSegmentationModel::load(const std::filesystem::path& folder,
                                                                         ComputeUnits units) {
  return std::make_shared<OfflineSegmentationModel>(OnnxModel::load(folder, units, modelCost(fileName)));
}

Tensor OfflineSegmentationModel::predict(const Tensor& audio) const {
  NamedTensors outputs = m_model->predict({{"audio", audio}}, {m_outputName});
  Tensor scores = outputs[m_outputName];
  if (scores.empty()) {
    throw OfflineDiarizationError::processingFailed(
        "Segmentation model missing expected multiarray output. Available: [\"" + m_outputName + "\"]");
  }
  return scores;
}

}  // namespace voxtrellis
