#include "Diarizer/Segmentation/PyannoteSegmentationModel.h"

#include "Shared/MLMultiArrayTensor.h"

namespace voxtrellis {

PyannoteSegmentationModel::PyannoteSegmentationModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  m_model->requireInterface({{"audio", ElementType::float32, 3}}, {{"segments", ElementType::float32, 3}});
}

std::shared_ptr<PyannoteSegmentationModel> PyannoteSegmentationModel::load(const std::filesystem::path& folder,
                                                                           ComputeUnits units) {
  return fromModel(OnnxModel::load(folder, units));
}

std::shared_ptr<PyannoteSegmentationModel> PyannoteSegmentationModel::fromModel(std::shared_ptr<OnnxModel> model) {
  return std::shared_ptr<PyannoteSegmentationModel>(new PyannoteSegmentationModel(std::move(model)));
}

Tensor PyannoteSegmentationModel::predict(const MLMultiArrayPtr& audio) const {
  auto outputs = m_model->predict({{"audio", denseTensor(audio)}}, {"segments"});
  return outputs.at("segments");
}

}  // namespace voxtrellis
