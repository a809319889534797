#include <voxtrellis/PipelineTimings.h>
#include <voxtrellis/TimedSpeakerSegment.h>

#include "Shared/Uuid.h"

#include <nlohmann/json.hpp>

#include <array>

namespace voxtrellis {

TimedSpeakerSegment::TimedSpeakerSegment(std::string speakerId_, std::vector<float> embedding_, float start, float end,
                                         float quality)
    : id(makeUuidString()),
      speakerId(std::move(speakerId_)),
      embedding(std::move(embedding_)),
      startTimeSeconds(start),
      endTimeSeconds(end),
      qualityScore(quality) {}

PipelineTimings::PipelineTimings(double modelCompilation, double audioLoading, double segmentation,
                                 double embeddingExtraction, double speakerClustering, double postProcessing)
    : m_modelCompilation(modelCompilation),
      m_audioLoading(audioLoading),
      m_segmentation(segmentation),
      m_embeddingExtraction(embeddingExtraction),
      m_speakerClustering(speakerClustering),
      m_postProcessing(postProcessing),
      m_totalInference(segmentation + embeddingExtraction + speakerClustering),
      m_totalProcessing(modelCompilation + audioLoading + segmentation + embeddingExtraction + speakerClustering +
                        postProcessing) {}

namespace {
constexpr std::array<const char*, 6> kStageNames = {"Model Compilation",    "Audio Loading",      "Segmentation",
                                                    "Embedding Extraction", "Speaker Clustering", "Post Processing"};
constexpr std::array<const char*, 8> kKeys = {
    "modelCompilationSeconds",  "audioLoadingSeconds",   "segmentationSeconds",   "embeddingExtractionSeconds",
    "speakerClusteringSeconds", "postProcessingSeconds", "totalInferenceSeconds", "totalProcessingSeconds"};
}  // namespace

std::map<std::string, double> PipelineTimings::stagePercentages() const {
  std::map<std::string, double> result;
  if (!(m_totalProcessing > 0)) return result;
  const std::array<double, 6> stages = {m_modelCompilation,    m_audioLoading,      m_segmentation,
                                        m_embeddingExtraction, m_speakerClustering, m_postProcessing};
  for (std::size_t i = 0; i < stages.size(); ++i) result[kStageNames[i]] = stages[i] / m_totalProcessing * 100.0;
  return result;
}

std::string PipelineTimings::bottleneckStage() const {
  const std::array<double, 6> stages = {m_modelCompilation,    m_audioLoading,      m_segmentation,
                                        m_embeddingExtraction, m_speakerClustering, m_postProcessing};
  std::size_t best = 0;
  for (std::size_t i = 1; i < stages.size(); ++i) {
    if (stages[i] > stages[best]) best = i;
  }
  return kStageNames[best];
}

std::string PipelineTimings::toJson() const {
  const std::array<double, 8> values = {m_modelCompilation,  m_audioLoading,   m_segmentation,   m_embeddingExtraction,
                                        m_speakerClustering, m_postProcessing, m_totalInference, m_totalProcessing};
  nlohmann::json object = nlohmann::json::object();
  for (std::size_t i = 0; i < kKeys.size(); ++i) object[kKeys[i]] = values[i];
  return object.dump();
}

PipelineTimings PipelineTimings::fromJson(const std::string& json) {
  nlohmann::json object = nlohmann::json::parse(json, nullptr, false);
  if (object.is_discarded() || !object.is_object()) throw DecodingError("PipelineTimings: not a JSON object");
  std::array<double, 8> values{};
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    auto it = object.find(kKeys[i]);
    if (it == object.end() || !it->is_number()) {
      throw DecodingError(std::string("PipelineTimings: missing number \"") + kKeys[i] + "\"");
    }
    values[i] = it->get<double>();
  }
  PipelineTimings timings(values[0], values[1], values[2], values[3], values[4], values[5]);
  timings.m_totalInference = values[6];
  timings.m_totalProcessing = values[7];
  return timings;
}

}  // namespace voxtrellis
