#include "Diarizer/Extraction/WeSpeakerEmbeddingModel.h"

#include "Shared/MLMultiArrayTensor.h"

namespace voxtrellis {

WeSpeakerEmbeddingModel::WeSpeakerEmbeddingModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  m_model->requireInterface({{"waveform", ElementType::float32, 2}, {"mask", ElementType::float32, 2}},
                            {{"embedding", ElementType::float32, 2}});
}

std::shared_ptr<WeSpeakerEmbeddingModel> WeSpeakerEmbeddingModel::load(const std::filesystem::path& folder,
                                                                       ComputeUnits units) {
  return fromModel(OnnxModel::load(folder, units));
}

std::shared_ptr<WeSpeakerEmbeddingModel> WeSpeakerEmbeddingModel::fromModel(std::shared_ptr<OnnxModel> model) {
  return std::shared_ptr<WeSpeakerEmbeddingModel>(new WeSpeakerEmbeddingModel(std::move(model)));
}

Tensor WeSpeakerEmbeddingModel::predict(const MLMultiArrayPtr& waveform, const MLMultiArrayPtr& mask) const {
  auto outputs = m_model->predict({{"waveform", denseTensor(waveform)}, {"mask", denseTensor(mask)}}, {"embedding"});
  const auto it = outputs.find("embedding");
  return it == outputs.end() ? Tensor() : it->second;
}

}  // namespace voxtrellis
