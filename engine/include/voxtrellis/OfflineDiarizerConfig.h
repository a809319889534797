#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace voxtrellis {

// Every setting of the offline diarization pipeline, grouped by stage. A
// plain value; validate() names the first offending setting. The flat
// accessors (clusteringThreshold(), Fa(), ...) read and write the nested
// field they name.
struct OfflineDiarizerConfig {
  struct Segmentation {
    double windowDurationSeconds = 10.0;
    int sampleRate = 16000;       // Hz
    double minDurationOn = 0.0;   // seconds
    double minDurationOff = 0.0;  // seconds
    double stepRatio = 0.2;       // hop between windows, fraction of a window
    float speechOnsetThreshold = 0.5f;
    float speechOffsetThreshold = 0.5f;
    static Segmentation community() { return {}; }
  };
  struct Embedding {
    int batchSize = 32;  // 1...32
    bool excludeOverlap = true;
    double minSegmentDurationSeconds = 1.0;
    static Embedding community() { return {}; }
  };
  struct Clustering {
    // Where the agglomerative warm start stops merging: the Euclidean
    // distance between length-normalised voice vectors, within (0, sqrt(2)].
    // Lower keeps more voices apart.
    double threshold = 0.6;
    static constexpr double maxThreshold = 1.4142135623730951;  // sqrt(2)
    double warmStartFa = 0.07;
    double warmStartFb = 0.8;
    std::optional<int> minSpeakers;
    std::optional<int> maxSpeakers;
    std::optional<int> numSpeakers;
    static Clustering community() { return {}; }
  };
  struct VBx {
    int maxIterations = 20;
    double convergenceTolerance = 0.0001;
    static VBx community() { return {}; }
  };
  struct PostProcessing {
    double minGapDurationSeconds = 0.1;
    static PostProcessing community() { return {}; }
  };
  struct Export {
    std::optional<std::string> embeddingsPath;
    static Export none() { return {}; }
  };

  // The flat settings, for the flat initialiser; defaults are the presets.
  struct Flat {
    double clusteringThreshold = 0.6;
    double Fa = 0.07;
    double Fb = 0.8;
    double windowDuration = 10.0;
    int sampleRate = 16000;
    double segmentationStepRatio = 0.2;
    int embeddingBatchSize = 32;
    bool embeddingExcludeOverlap = true;
    double minSegmentDuration = 1.0;
    double minGapDuration = 0.1;
    float speechOnsetThreshold = 0.5f;
    float speechOffsetThreshold = 0.5f;
    double segmentationMinDurationOn = 0.0;
    double segmentationMinDurationOff = 0.0;
    int maxVBxIterations = 20;
    double convergenceTolerance = 0.0001;
    std::optional<std::string> embeddingExportPath;
  };

  Segmentation segmentation;
  Embedding embedding;
  Clustering clustering;
  VBx vbx;
  PostProcessing postProcessing;
  Export exportSettings;

  OfflineDiarizerConfig() = default;
  OfflineDiarizerConfig(Segmentation segmentation, Embedding embedding, Clustering clustering, VBx vbx,
                        PostProcessing postProcessing, Export exportSettings);
  // Every field from the flat values; the three speaker counts are none.
  explicit OfflineDiarizerConfig(const Flat& flat);

  // The configuration made of the six presets.
  static OfflineDiarizerConfig defaultConfig() { return {}; }

  // Throws OfflineDiarizationError (invalidConfiguration or invalidBatchSize)
  // for the first broken rule. Non-finite numbers break every numeric rule,
  // and the window must span 1 ... 2^31-1 samples.
  void validate() const;

  // A copy with these bounds and no fixed count.
  OfflineDiarizerConfig withSpeakers(std::optional<int> min, std::optional<int> max) const;
  // A copy with a fixed count and no bounds.
  OfflineDiarizerConfig withSpeakers(std::optional<int> exactly) const;

  // windowDurationSeconds × sampleRate truncated toward zero; 0 when that is
  // not finite or does not fit 64 bits (validation rejects such windows).
  int64_t samplesPerWindow() const;
  // max(1, stepRatio × samplesPerWindow truncated).
  int64_t samplesPerStep() const;

  // Flat aliases.
  double& clusteringThreshold() { return clustering.threshold; }
  double clusteringThreshold() const { return clustering.threshold; }
  double& Fa() { return clustering.warmStartFa; }
  double Fa() const { return clustering.warmStartFa; }
  double& Fb() { return clustering.warmStartFb; }
  double Fb() const { return clustering.warmStartFb; }
  double& windowDuration() { return segmentation.windowDurationSeconds; }
  double windowDuration() const { return segmentation.windowDurationSeconds; }
  int& sampleRate() { return segmentation.sampleRate; }
  int sampleRate() const { return segmentation.sampleRate; }
  double& segmentationStepRatio() { return segmentation.stepRatio; }
  double segmentationStepRatio() const { return segmentation.stepRatio; }
  double& segmentationMinDurationOn() { return segmentation.minDurationOn; }
  double segmentationMinDurationOn() const { return segmentation.minDurationOn; }
  double& segmentationMinDurationOff() { return segmentation.minDurationOff; }
  double segmentationMinDurationOff() const { return segmentation.minDurationOff; }
  float& speechOnsetThreshold() { return segmentation.speechOnsetThreshold; }
  float speechOnsetThreshold() const { return segmentation.speechOnsetThreshold; }
  float& speechOffsetThreshold() { return segmentation.speechOffsetThreshold; }
  float speechOffsetThreshold() const { return segmentation.speechOffsetThreshold; }
  int& embeddingBatchSize() { return embedding.batchSize; }
  int embeddingBatchSize() const { return embedding.batchSize; }
  bool& embeddingExcludeOverlap() { return embedding.excludeOverlap; }
  bool embeddingExcludeOverlap() const { return embedding.excludeOverlap; }
  bool& shouldExcludeOverlaps() { return embedding.excludeOverlap; }
  bool shouldExcludeOverlaps() const { return embedding.excludeOverlap; }
  double& minSegmentDuration() { return embedding.minSegmentDurationSeconds; }
  double minSegmentDuration() const { return embedding.minSegmentDurationSeconds; }
  int& maxVBxIterations() { return vbx.maxIterations; }
  int maxVBxIterations() const { return vbx.maxIterations; }
  double& convergenceTolerance() { return vbx.convergenceTolerance; }
  double convergenceTolerance() const { return vbx.convergenceTolerance; }
  double& minGapDuration() { return postProcessing.minGapDurationSeconds; }
  double minGapDuration() const { return postProcessing.minGapDurationSeconds; }
  std::optional<std::string>& embeddingExportPath() { return exportSettings.embeddingsPath; }
  const std::optional<std::string>& embeddingExportPath() const { return exportSettings.embeddingsPath; }
};

}  // namespace voxtrellis
