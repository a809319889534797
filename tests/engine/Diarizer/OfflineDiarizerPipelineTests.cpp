#include "DiarizerTestSupport.h"

#include <voxtrellis/OfflineDiarizationError.h>
#include <voxtrellis/OfflineDiarizerManager.h>
#include <voxtrellis/StreamingAudioSampleSource.h>

#include <gtest/gtest.h>

#include <cstdio>

using namespace voxtrellis;
using namespace diarizertest;

namespace {

struct Turn {
  std::string speaker;
  double start, end;
};

void expectTurns(const DiarizationResult& result, const std::vector<Turn>& truth) {
  ASSERT_EQ(result.segments.size(), truth.size());
  for (std::size_t i = 0; i < truth.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(result.segments[i].speakerId, truth[i].speaker);
    EXPECT_NEAR(result.segments[i].startTimeSeconds, truth[i].start, 0.5);
    EXPECT_NEAR(result.segments[i].endTimeSeconds, truth[i].end, 0.5);
  }
}

TEST(OfflineDiarizerPipeline, TwoAlternatingVoicesBecomeTwoSpeakers) {
  OfflineDiarizerManager manager;
  manager.initialize(loadModels());
  AppLogger::setSink([](const AppLogger::Record& r) { if (getenv("DIAR_DEBUG")) std::fprintf(stderr, "[%s] %s\n", r.category.c_str(), r.message.c_str()); });
  const auto result = manager.process(conversation());
  for (const auto& s : result.segments) std::printf("%s %.2f %.2f q=%.2f\n", s.speakerId.c_str(), s.startTimeSeconds, s.endTimeSeconds, s.qualityScore);
  // The later-starting voice loses the overlapped second.
  expectTurns(result, {{"S1", 0, 6}, {"S2", 6, 12}, {"S1", 12, 18}, {"S2", 18, 22}, {"S1", 26, 32}});
  ASSERT_TRUE(result.speakerDatabase.has_value());
  EXPECT_EQ(result.speakerDatabase->size(), 2u);
  ASSERT_TRUE(result.timings.has_value());
  EXPECT_EQ(result.timings->audioLoadingSeconds(), 0.0);
  EXPECT_DOUBLE_EQ(result.timings->totalInferenceSeconds(), result.timings->segmentationSeconds() +
                                                               result.timings->embeddingExtractionSeconds() +
                                                               result.timings->speakerClusteringSeconds());
}

}  // namespace
