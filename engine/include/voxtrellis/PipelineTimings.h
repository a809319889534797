#pragma once

#include <map>
#include <stdexcept>
#include <string>

namespace voxtrellis {

// Per-stage durations of one diarization call, in seconds. Immutable once made.
class PipelineTimings {
 public:
  // Thrown by fromJson() for a document that is not an object holding all
  // eight numeric keys.
  class DecodingError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  PipelineTimings() = default;
  // Stores the six stage values and computes the two totals.
  PipelineTimings(double modelCompilationSeconds, double audioLoadingSeconds, double segmentationSeconds,
                  double embeddingExtractionSeconds, double speakerClusteringSeconds, double postProcessingSeconds);

  double modelCompilationSeconds() const { return m_modelCompilation; }
  double audioLoadingSeconds() const { return m_audioLoading; }
  double segmentationSeconds() const { return m_segmentation; }
  double embeddingExtractionSeconds() const { return m_embeddingExtraction; }
  double speakerClusteringSeconds() const { return m_speakerClustering; }
  double postProcessingSeconds() const { return m_postProcessing; }
  // segmentation + embedding extraction + clustering.
  double totalInferenceSeconds() const { return m_totalInference; }
  // Sum of the six stage values.
  double totalProcessingSeconds() const { return m_totalProcessing; }

  // Stage name ("Model Compilation", "Audio Loading", "Segmentation",
  // "Embedding Extraction", "Speaker Clustering", "Post Processing") to its
  // share of totalProcessingSeconds in percent; empty when the total is not above 0.
  std::map<std::string, double> stagePercentages() const;
  // The stage with the largest seconds; ties go to the earlier stage.
  std::string bottleneckStage() const;

  // One JSON object with a key per field, named as the accessors.
  std::string toJson() const;
  // Reads all eight keys; the totals are taken as stored. Throws DecodingError.
  static PipelineTimings fromJson(const std::string& json);

  bool operator==(const PipelineTimings&) const = default;

 private:
  double m_modelCompilation = 0;
  double m_audioLoading = 0;
  double m_segmentation = 0;
  double m_embeddingExtraction = 0;
  double m_speakerClustering = 0;
  double m_postProcessing = 0;
  double m_totalInference = 0;
  double m_totalProcessing = 0;
};

}  // namespace voxtrellis
