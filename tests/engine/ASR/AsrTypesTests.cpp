#include <voxtrellis/ASRConfig.h>
#include <voxtrellis/ASRError.h>
#include <voxtrellis/ASRResult.h>
#include <voxtrellis/PerformanceMonitor.h>

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

using namespace voxtrellis;

namespace {

TEST(AsrConfigTest, DefaultsAreTheDecoderLimits) {
  const ASRConfig& c = ASRConfig::defaults();
  EXPECT_EQ(c.sampleRate, 16000);
  const TdtConfig& t = c.tdtConfig;
  EXPECT_TRUE(t.includeTokenDuration);
  EXPECT_EQ(t.maxSymbolsPerStep, 10);
  EXPECT_EQ(t.durationBins, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(t.blankId, 8192);
  EXPECT_EQ(t.boundarySearchFrames, 20);
  EXPECT_EQ(t.maxTokensPerChunk, 150);
  EXPECT_EQ(t.consecutiveBlankLimit, 5);
  EXPECT_EQ(t, TdtConfig::defaults());
}

TEST(AsrErrorTest, DescriptionsAreFixedTexts) {
  const std::vector<std::pair<ASRError, std::string>> cases = {
      {ASRError::processingFailed("Invalid decoder output"), "ASR processing failed: Invalid decoder output"},
      {ASRError::unsupportedPlatform("Needs a newer system"), "Needs a newer system"},
      {ASRError::notInitialized(), "AsrManager not initialized. Call initialize() first."},
      {ASRError::invalidAudioData(), "Invalid audio data provided. Must be at least 1 second of 16kHz audio."},
      {ASRError::modelLoadFailed(), "Failed to load Parakeet ONNX models."},
      {ASRError::modelCompilationFailed(), "ONNX model compilation failed after recovery attempts."},
  };
  for (const auto& [error, text] : cases) {
    EXPECT_EQ(error.errorDescription(), text);
  }
}

TEST(AsrResultTest, RealTimeFactor) {
  ASRResult r;
  r.duration = 60;
  r.processingTime = 2;
  EXPECT_FLOAT_EQ(r.rtfx(), 30.0f);
  r.processingTime = 0;
  EXPECT_TRUE(std::isinf(r.rtfx()));
}

TEST(AsrResultTest, JsonWritesKeysInOrderAndLeavesOutAbsentParts) {
  ASRResult r;
  r.text = "hi";
  r.confidence = 0.5f;
  r.duration = 2;
  r.processingTime = 0.25;
  EXPECT_EQ(r.toJson(), R"({"text":"hi","confidence":0.5,"duration":2.0,"processingTime":0.25})");
  const ASRResult back = ASRResult::fromJson(r.toJson());
  EXPECT_FALSE(back.tokenTimings.has_value());
  EXPECT_FALSE(back.performanceMetrics.has_value());
  EXPECT_EQ(back, r);

  r.tokenTimings = std::vector<TokenTiming>{{" hi", 5, 0.0, 0.08, 0.75f}};
  ASRPerformanceMetrics m;
  m.rtfx = 20;
  r.performanceMetrics = m;
  const std::string json = r.toJson();
  EXPECT_LT(json.find("\"processingTime\""), json.find("\"tokenTimings\""));
  EXPECT_LT(json.find("\"tokenTimings\""), json.find("\"performanceMetrics\""));
  EXPECT_EQ(json.find("gpuUtilization"), std::string::npos);
  EXPECT_EQ(json.find("rtfx\":30"), std::string::npos);
  EXPECT_EQ(ASRResult::fromJson(json), r);
  EXPECT_EQ(r.tokenTimings->front().toJson(),
            R"({"token":" hi","tokenId":5,"startTime":0.0,"endTime":0.08,"confidence":0.75})");
}

TEST(AsrResultTest, JsonMissingOrMistypedKeysFailWithoutPartialValue) {
  const std::vector<std::string> bad = {
      R"({"text":"a","confidence":1,"duration":1})",
      R"({"text":1,"confidence":1,"duration":1,"processingTime":1})",
      R"({"text":"a","confidence":1,"duration":1,"processingTime":1,"tokenTimings":[{"token":"x"}]})",
      R"([1,2])",
      "not json",
  };
  for (const auto& json : bad) {
    EXPECT_THROW(ASRResult::fromJson(json), std::invalid_argument) << json;
  }
  EXPECT_THROW(TokenTiming::fromJson(R"({"token":"a","tokenId":1,"startTime":0,"endTime":1})"), std::invalid_argument);
}

TEST(PerformanceMetricsTest, SummaryAndOptionalGpuFigure) {
  ASRPerformanceMetrics m;
  m.preprocessorTime = 0.0125;
  m.totalProcessingTime = 0.5;
  m.rtfx = 20;
  m.peakMemoryMB = 123.26f;
  EXPECT_EQ(m.summary(),
            "Performance Metrics:\n- Preprocessor: 0.013s\n- Encoder: 0.000s\n- Decoder: 0.000s\n"
            "- Total: 0.500s\n- RTFx: 20.0x real-time\n- Peak Memory: 123.3 MB\n- GPU Utilization: N/A");
  EXPECT_EQ(m.toJson().find("gpuUtilization"), std::string::npos);
  m.gpuUtilization = 42.0f;
  EXPECT_NE(m.summary().find("- GPU Utilization: 42.0%"), std::string::npos);
  EXPECT_EQ(ASRPerformanceMetrics::fromJson(m.toJson()), m);
  EXPECT_THROW(ASRPerformanceMetrics::fromJson(R"({"preprocessorTime":1})"), std::invalid_argument);
}

TEST(PerformanceMonitorTest, TracksSessionsAndAggregates) {
  PerformanceMonitor monitor;
  EXPECT_FALSE(monitor.getAggregatedMetrics().has_value());

  auto [value, metrics] = monitor.trackSession("Transcription", 10.0f, [] { return 7; });
  EXPECT_EQ(value, 7);
  EXPECT_GT(metrics.rtfx, 0.0f);
  EXPECT_GT(metrics.peakMemoryMB, 0.0f);
  EXPECT_EQ(metrics.preprocessorTime, 0.0);
  EXPECT_FALSE(metrics.gpuUtilization.has_value());

  EXPECT_THROW(monitor.trackSession("Broken", 1.0f, []() -> int { throw std::runtime_error("no"); }),
               std::runtime_error);
  EXPECT_EQ(monitor.metrics().size(), 1u);

  auto [text, seconds] = monitor.trackComponent("Encoder", [] { return std::string("x"); });
  EXPECT_EQ(text, "x");
  EXPECT_GE(seconds, 0.0);
  EXPECT_EQ(monitor.metrics().size(), 1u);

  monitor.reset();
  EXPECT_FALSE(monitor.getAggregatedMetrics().has_value());
}

TEST(PerformanceMonitorTest, AggregatedSummary) {
  AggregatedMetrics a;
  a.averageRTFx = 20;
  a.averageProcessingTime = 0.5;
  a.maxMemoryMB = 512;
  a.sampleCount = 2;
  EXPECT_EQ(a.summary(),
            "Aggregated Metrics (2 samples):\n- Average RTFx: 20.0x real-time\n"
            "- Average Processing Time: 0.500s\n- Max Memory Usage: 512.0 MB");
}

}  // namespace
