#include <voxtrellis/OfflineDiarizationError.h>
#include <voxtrellis/OfflineDiarizerConfig.h>
#include <voxtrellis/PipelineTimings.h>
#include <voxtrellis/TimedSpeakerSegment.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

using namespace voxtrellis;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Rule {
  const char* name;
  std::function<void(OfflineDiarizerConfig&)> change;
  OfflineDiarizationError::Kind kind;
  const char* description;  // empty: the configuration is valid
};

TEST(OfflineDiarizerConfig, ValidationNamesTheFirstBrokenRule) {
  using K = OfflineDiarizationError::Kind;
  const std::vector<Rule> rules = {
      {"preset", [](auto&) {}, K::invalidConfiguration, ""},
      {"threshold sqrt2", [](auto& c) { c.clustering.threshold = 1.4142135623730951; }, K::invalidConfiguration, ""},
      {"threshold 0", [](auto& c) { c.clustering.threshold = 0; }, K::invalidConfiguration,
       "Invalid configuration: clustering.threshold must be within (0, sqrt(2)], got 0.0"},
      {"threshold 1.5", [](auto& c) { c.clustering.threshold = 1.5; }, K::invalidConfiguration,
       "Invalid configuration: clustering.threshold must be within (0, sqrt(2)], got 1.5"},
      {"threshold NaN", [](auto& c) { c.clustering.threshold = kNaN; }, K::invalidConfiguration,
       "Invalid configuration: clustering.threshold must be within (0, sqrt(2)], got nan"},
      {"Fb 0", [](auto& c) { c.clustering.warmStartFb = 0; }, K::invalidConfiguration,
       "Invalid configuration: clustering warm-start Fa/Fb must be positive (Fa=0.07, Fb=0.0)"},
      {"Fa NaN", [](auto& c) { c.clustering.warmStartFa = kNaN; }, K::invalidConfiguration,
       "Invalid configuration: clustering warm-start Fa/Fb must be positive (Fa=nan, Fb=0.8)"},
      {"window infinite", [](auto& c) { c.segmentation.windowDurationSeconds = kInf; }, K::invalidConfiguration,
       "Invalid configuration: segmentation.windowDurationSeconds must be positive, got inf"},
      {"window NaN", [](auto& c) { c.segmentation.windowDurationSeconds = kNaN; }, K::invalidConfiguration,
       "Invalid configuration: segmentation.windowDurationSeconds must be positive, got nan"},
      {"sample rate 0", [](auto& c) { c.segmentation.sampleRate = 0; }, K::invalidConfiguration,
       "Invalid configuration: sampleRate must be positive"},
      {"window too long", [](auto& c) { c.segmentation.windowDurationSeconds = 1e300; }, K::invalidConfiguration,
       "Invalid configuration: segmentation window must span 1 to 2147483647 samples, got 1.6e+304"},
      {"window below a sample", [](auto& c) { c.segmentation.windowDurationSeconds = 1e-6; }, K::invalidConfiguration,
       "Invalid configuration: segmentation window must span 1 to 2147483647 samples, got 0.0"},
      {"step 1", [](auto& c) { c.segmentation.stepRatio = 1.0; }, K::invalidConfiguration, ""},
      {"step 0", [](auto& c) { c.segmentation.stepRatio = 0; }, K::invalidConfiguration,
       "Invalid configuration: segmentation.stepRatio must be within (0, 1], got 0.0"},
      {"step 1.2", [](auto& c) { c.segmentation.stepRatio = 1.2; }, K::invalidConfiguration,
       "Invalid configuration: segmentation.stepRatio must be within (0, 1], got 1.2"},
      {"batch 0", [](auto& c) { c.embedding.batchSize = 0; }, K::invalidBatchSize,
       "Invalid batch size: embeddingBatchSize must be > 0"},
      {"batch 33", [](auto& c) { c.embedding.batchSize = 33; }, K::invalidBatchSize,
       "Invalid batch size: embeddingBatchSize must be <= 32 to fit PLDA batch limits"},
      {"batch 32", [](auto& c) { c.embedding.batchSize = 32; }, K::invalidBatchSize, ""},
      {"iterations 0", [](auto& c) { c.vbx.maxIterations = 0; }, K::invalidConfiguration,
       "Invalid configuration: maxVBxIterations must be > 0, got 0"},
      {"tolerance NaN", [](auto& c) { c.vbx.convergenceTolerance = kNaN; }, K::invalidConfiguration,
       "Invalid configuration: convergenceTolerance must be positive"},
      {"min segment NaN", [](auto& c) { c.embedding.minSegmentDurationSeconds = kNaN; }, K::invalidConfiguration,
       "Invalid configuration: embedding.minSegmentDuration must be >= 0"},
      {"gap negative", [](auto& c) { c.postProcessing.minGapDurationSeconds = -0.1; }, K::invalidConfiguration,
       "Invalid configuration: minGapDuration must be >= 0"},
      {"on infinite", [](auto& c) { c.segmentation.minDurationOn = kInf; }, K::invalidConfiguration,
       "Invalid configuration: segmentation.minDurationOn must be >= 0"},
      {"off negative", [](auto& c) { c.segmentation.minDurationOff = -1; }, K::invalidConfiguration,
       "Invalid configuration: segmentation.minDurationOff must be >= 0"},
      {"onset 1.5", [](auto& c) { c.segmentation.speechOnsetThreshold = 1.5f; }, K::invalidConfiguration,
       "Invalid configuration: speechOnsetThreshold must be within [0, 1], got 1.5"},
      {"offset above onset", [](auto& c) { c.segmentation.speechOffsetThreshold = 0.6f; }, K::invalidConfiguration,
       "Invalid configuration: speechOffsetThreshold must be within [0, speechOnsetThreshold], got 0.6"},
      {"equal thresholds", [](auto& c) { c.segmentation.speechOffsetThreshold = 0.5f; }, K::invalidConfiguration, ""},
      {"first rule wins",
       [](auto& c) {
         c.clustering.threshold = 2;
         c.embedding.batchSize = 0;
       },
       K::invalidConfiguration, "Invalid configuration: clustering.threshold must be within (0, sqrt(2)], got 2.0"},
  };
  for (const auto& rule : rules) {
    SCOPED_TRACE(rule.name);
    OfflineDiarizerConfig config;
    rule.change(config);
    if (std::string(rule.description).empty()) {
      EXPECT_NO_THROW(config.validate());
      continue;
    }
    try {
      config.validate();
      ADD_FAILURE() << "no error";
    } catch (const OfflineDiarizationError& error) {
      EXPECT_EQ(error.kind(), rule.kind);
      EXPECT_STREQ(error.what(), rule.description);
    }
  }
}

TEST(OfflineDiarizerConfig, DerivedWindowSizes) {
  OfflineDiarizerConfig config;
  EXPECT_EQ(config.samplesPerWindow(), 160000);
  EXPECT_EQ(config.samplesPerStep(), 32000);
  config.segmentation.stepRatio = 1e-9;
  EXPECT_EQ(config.samplesPerStep(), 1);
  config.segmentation.windowDurationSeconds = kInf;
  EXPECT_EQ(config.samplesPerWindow(), 0);
  EXPECT_EQ(config.samplesPerStep(), 1);
}

TEST(OfflineDiarizerConfig, AliasesAndSpeakerCounts) {
  OfflineDiarizerConfig config;
  config.shouldExcludeOverlaps() = false;
  EXPECT_FALSE(config.embeddingExcludeOverlap());
  EXPECT_FALSE(config.embedding.excludeOverlap);
  config.clusteringThreshold() = 0.7;
  EXPECT_EQ(config.clustering.threshold, 0.7);

  const auto bounded = config.withSpeakers(2, 5);
  const auto exact = bounded.withSpeakers(3);
  EXPECT_EQ(exact.clustering.numSpeakers, 3);
  EXPECT_FALSE(exact.clustering.minSpeakers.has_value());
  EXPECT_FALSE(exact.clustering.maxSpeakers.has_value());
  const auto cleared = exact.withSpeakers(2, std::nullopt);
  EXPECT_FALSE(cleared.clustering.numSpeakers.has_value());
  EXPECT_EQ(cleared.clustering.minSpeakers, 2);

  const OfflineDiarizerConfig flat(OfflineDiarizerConfig::Flat{
      .clusteringThreshold = 0.8, .embeddingBatchSize = 8, .embeddingExportPath = "/tmp/x.json"});
  EXPECT_EQ(flat.clustering.threshold, 0.8);
  EXPECT_EQ(flat.embedding.batchSize, 8);
  EXPECT_EQ(flat.exportSettings.embeddingsPath, "/tmp/x.json");
  EXPECT_EQ(flat.segmentation.sampleRate, 16000);
}

TEST(PipelineTimings, TotalsShareAndBottleneck) {
  const PipelineTimings zero(0, 0, 0, 0, 0, 0);
  EXPECT_TRUE(zero.stagePercentages().empty());
  EXPECT_EQ(zero.bottleneckStage(), "Model Compilation");

  const PipelineTimings timings(0, 0, 2, 2, 0, 0);
  EXPECT_EQ(timings.bottleneckStage(), "Segmentation");
  EXPECT_EQ(timings.totalInferenceSeconds(), 4);
  const auto shares = timings.stagePercentages();
  EXPECT_EQ(shares.at("Segmentation"), 50);
  EXPECT_EQ(shares.at("Embedding Extraction"), 50);
  EXPECT_EQ(shares.at("Post Processing"), 0);
  EXPECT_EQ(shares.size(), 6u);
}

TEST(PipelineTimings, JsonRoundTripNeedsEveryKey) {
  const PipelineTimings timings(0.125, 1.5, 2.25, 3.0, 0.1, 0.3);
  EXPECT_EQ(PipelineTimings::fromJson(timings.toJson()), timings);
  // Totals are taken as stored.
  const auto stored = PipelineTimings::fromJson(
      R"({"modelCompilationSeconds":1,"audioLoadingSeconds":1,"segmentationSeconds":1,"embeddingExtractionSeconds":1,
          "speakerClusteringSeconds":1,"postProcessingSeconds":1,"totalInferenceSeconds":99,"totalProcessingSeconds":98})");
  EXPECT_EQ(stored.totalInferenceSeconds(), 99);
  EXPECT_THROW(PipelineTimings::fromJson(R"({"modelCompilationSeconds":1})"), PipelineTimings::DecodingError);
  EXPECT_THROW(PipelineTimings::fromJson("not json"), PipelineTimings::DecodingError);
}

TEST(DiarizationTypes, SegmentsAndErrors) {
  const TimedSpeakerSegment a("S1", {}, 2.0f, 1.0f, 0.5f);
  const TimedSpeakerSegment b("S1", {}, 2.0f, 1.0f, 0.5f);
  EXPECT_NE(a.id, b.id);
  EXPECT_EQ(a.id.size(), 36u);
  EXPECT_EQ(a.durationSeconds(), -1.0f);
  EXPECT_STREQ(OfflineDiarizationError::processingFailed("").what(), "Processing failed: ");
  EXPECT_STREQ(OfflineDiarizationError::noSpeechDetected().what(), "No speech detected in audio");
  EXPECT_STREQ(OfflineDiarizationError::modelNotLoaded("offline-diarizer").what(),
               "Model not loaded: offline-diarizer");
  EXPECT_STREQ(OfflineDiarizationError::exportFailed("x").what(), "Failed to export data: x");
}

}  // namespace
