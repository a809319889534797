#include <voxtrellis/OfflineDiarizationError.h>
#include <voxtrellis/OfflineDiarizerConfig.h>

#include "Diarizer/Offline/Utils/NumberFormat.h"

#include <cmath>
#include <limits>

namespace voxtrellis {

using diarization::shortest;

namespace {
// Largest window the pipeline accepts, in samples: model dimensions and
// buffer sizes are kept within the 32-bit range.
constexpr double kMaxWindowSamples = 2147483647.0;

bool greaterThan(double value, double bound) {
  return std::isfinite(value) && value > bound;
}
bool atLeast(double value, double bound) {
  return std::isfinite(value) && value >= bound;
}
bool within(double value, double low, double high) {
  return std::isfinite(value) && value >= low && value <= high;
}

OfflineDiarizationError invalid(const std::string& message) {
  return OfflineDiarizationError::invalidConfiguration(message);
}
}  // namespace

OfflineDiarizerConfig::OfflineDiarizerConfig(Segmentation segmentation_, Embedding embedding_, Clustering clustering_,
                                             VBx vbx_, PostProcessing postProcessing_, Export exportSettings_)
    : segmentation(segmentation_),
      embedding(embedding_),
      clustering(std::move(clustering_)),
      vbx(vbx_),
      postProcessing(postProcessing_),
      exportSettings(std::move(exportSettings_)) {}

OfflineDiarizerConfig::OfflineDiarizerConfig(const Flat& flat) {
  segmentation = {flat.windowDuration,
                  flat.sampleRate,
                  flat.segmentationMinDurationOn,
                  flat.segmentationMinDurationOff,
                  flat.segmentationStepRatio,
                  flat.speechOnsetThreshold,
                  flat.speechOffsetThreshold};
  embedding = {flat.embeddingBatchSize, flat.embeddingExcludeOverlap, flat.minSegmentDuration};
  clustering = {flat.clusteringThreshold, flat.Fa, flat.Fb, std::nullopt, std::nullopt, std::nullopt};
  vbx = {flat.maxVBxIterations, flat.convergenceTolerance};
  postProcessing = {flat.minGapDuration};
  exportSettings = {flat.embeddingExportPath};
}

void OfflineDiarizerConfig::validate() const {
  const double threshold = clustering.threshold;
  if (!(greaterThan(threshold, 0) && threshold <= Clustering::maxThreshold)) {
    throw invalid("clustering.threshold must be within (0, sqrt(2)], got " + shortest(threshold));
  }
  // NaN and infinities are as unusable here as zero: the scaling factors feed
  // exponentials in VBx.
  if (!greaterThan(clustering.warmStartFa, 0) || !greaterThan(clustering.warmStartFb, 0)) {
    throw invalid("clustering warm-start Fa/Fb must be positive (Fa=" + shortest(clustering.warmStartFa) +
                  ", Fb=" + shortest(clustering.warmStartFb) + ")");
  }
  if (!greaterThan(segmentation.windowDurationSeconds, 0)) {
    throw invalid("segmentation.windowDurationSeconds must be positive, got " +
                  shortest(segmentation.windowDurationSeconds));
  }
  if (segmentation.sampleRate < 1) throw invalid("sampleRate must be positive");
  const double windowSamples = std::trunc(segmentation.windowDurationSeconds * segmentation.sampleRate);
  if (!(windowSamples >= 1 && windowSamples <= kMaxWindowSamples)) {
    throw invalid("segmentation window must span 1 to 2147483647 samples, got " + shortest(windowSamples));
  }
  if (!(greaterThan(segmentation.stepRatio, 0) && segmentation.stepRatio <= 1)) {
    throw invalid("segmentation.stepRatio must be within (0, 1], got " + shortest(segmentation.stepRatio));
  }
  if (embedding.batchSize < 1) throw OfflineDiarizationError::invalidBatchSize("embeddingBatchSize must be > 0");
  if (embedding.batchSize > 32) {
    throw OfflineDiarizationError::invalidBatchSize("embeddingBatchSize must be <= 32 to fit PLDA batch limits");
  }
  if (vbx.maxIterations < 1) throw invalid("maxVBxIterations must be > 0, got " + std::to_string(vbx.maxIterations));
  if (!greaterThan(vbx.convergenceTolerance, 0)) throw invalid("convergenceTolerance must be positive");
  if (!atLeast(embedding.minSegmentDurationSeconds, 0)) throw invalid("embedding.minSegmentDuration must be >= 0");
  if (!atLeast(postProcessing.minGapDurationSeconds, 0)) throw invalid("minGapDuration must be >= 0");
  if (!atLeast(segmentation.minDurationOn, 0)) throw invalid("segmentation.minDurationOn must be >= 0");
  if (!atLeast(segmentation.minDurationOff, 0)) throw invalid("segmentation.minDurationOff must be >= 0");
  const float onset = segmentation.speechOnsetThreshold;
  if (!within(onset, 0, 1)) throw invalid("speechOnsetThreshold must be within [0, 1], got " + shortest(onset));
  const float offset = segmentation.speechOffsetThreshold;
  if (!within(offset, 0, onset)) {
    throw invalid("speechOffsetThreshold must be within [0, speechOnsetThreshold], got " + shortest(offset));
  }
}

OfflineDiarizerConfig OfflineDiarizerConfig::withSpeakers(std::optional<int> min, std::optional<int> max) const {
  OfflineDiarizerConfig copy = *this;
  copy.clustering.minSpeakers = min;
  copy.clustering.maxSpeakers = max;
  copy.clustering.numSpeakers = std::nullopt;
  return copy;
}

OfflineDiarizerConfig OfflineDiarizerConfig::withSpeakers(std::optional<int> exactly) const {
  OfflineDiarizerConfig copy = *this;
  copy.clustering.numSpeakers = exactly;
  copy.clustering.minSpeakers = std::nullopt;
  copy.clustering.maxSpeakers = std::nullopt;
  return copy;
}

namespace {
int64_t truncatedOrZero(double value) {
  // 2^63 itself does not fit, so the bound is strict.
  if (!std::isfinite(value) || value >= 9223372036854775808.0 || value <= -9223372036854775808.0) return 0;
  return static_cast<int64_t>(value);
}
}  // namespace

int64_t OfflineDiarizerConfig::samplesPerWindow() const {
  return truncatedOrZero(segmentation.windowDurationSeconds * static_cast<double>(segmentation.sampleRate));
}

int64_t OfflineDiarizerConfig::samplesPerStep() const {
  const int64_t step = truncatedOrZero(segmentation.stepRatio * static_cast<double>(samplesPerWindow()));
  return step < 1 ? 1 : step;
}

}  // namespace voxtrellis
