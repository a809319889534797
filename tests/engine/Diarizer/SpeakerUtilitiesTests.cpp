#include <voxtrellis/SpeakerUtilities.h>

#include "engine/Diarizer/SpeakerTestSupport.h"
#include "engine/Shared/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace voxtrellis;
using namespace speakertest;
using Level = AppLogger::Level;

namespace {
constexpr float kInf = std::numeric_limits<float>::infinity();
}

TEST(SpeakerUtilities, CosineDistanceCoversTheWholeRangeAndMarksUnusablePairs) {
  test::LogCapture log;
  EXPECT_NEAR(SpeakerUtilities::cosineDistance(axis(0), axis(0)), 0.0f, 1e-6);
  EXPECT_NEAR(SpeakerUtilities::cosineDistance(axis(0), scaled(axis(0), -1)), 2.0f, 1e-6);
  EXPECT_NEAR(SpeakerUtilities::cosineDistance(scaled(axis(0), 3), atDistance(0, 1, 0.25)), 0.25f, 1e-6);
  EXPECT_EQ(SpeakerUtilities::cosineDistance(axis(0), axis(0, 128)), kInf);
  EXPECT_TRUE(log.contains(Level::error, "Invalid embeddings: a.count=256, b.count=128"));
  EXPECT_EQ(SpeakerUtilities::cosineDistance(axis(0), std::vector<float>(256, 0.0f)), kInf);
  EXPECT_TRUE(log.contains(Level::warning, "Zero magnitude embedding detected"));
}

TEST(SpeakerUtilities, EmbeddingValidationNeedsMagnitudeAndFiniteValues) {
  EXPECT_FALSE(SpeakerUtilities::validateEmbedding({}));
  EXPECT_FALSE(SpeakerUtilities::validateEmbedding(std::vector<float>(256, 0.0f)));
  EXPECT_TRUE(SpeakerUtilities::validateEmbedding(std::vector<float>(256, 1.0f)));
  for (float bad : {std::nanf(""), kInf}) {
    auto v = std::vector<float>(256, 1.0f);
    v[200] = bad;
    EXPECT_FALSE(SpeakerUtilities::validateEmbedding(v));
  }
}

TEST(SpeakerUtilities, AssignmentDecisionFollowsDistanceAndDuration) {
  struct Case {
    float distance, duration;
    bool assign, update;
    const char* reason;
  };
  const Case cases[] = {
      {0.1f, 2, true, false, "Very high confidence match"},
      {0.1f, 4, true, true, "Very high confidence match"},
      {0.4f, 5, true, true, "Sufficient confidence and duration"},
      {0.5f, 5, true, false, "Sufficient confidence and duration"},
      {0.5f, 0.5f, false, false, "Duration too short"},
      {0.7f, 5, false, false, "Distance too far"},
  };
  for (const auto& c : cases) {
    const auto d =
        SpeakerUtilities::shouldAssignSpeaker(c.distance, c.duration, SpeakerUtilities::AssignmentConfig::macOS());
    EXPECT_EQ(d.shouldAssign, c.assign) << c.distance << " " << c.duration;
    EXPECT_EQ(d.shouldUpdate, c.update) << c.distance << " " << c.duration;
    EXPECT_EQ(d.reason, c.reason);
    EXPECT_FLOAT_EQ(d.confidence, 1 - c.distance);
  }
}

TEST(SpeakerUtilities, CreationChecksDurationThenEmbedding) {
  test::LogCapture log;
  const auto shortSpeech = SpeakerUtilities::validateSpeakerCreation("1", std::nullopt, 3.9f, axis(0));
  EXPECT_FALSE(shortSpeech.isSuccess());
  EXPECT_EQ(shortSpeech.failureReason, "Duration 3.9 < minimum 4.0");
  EXPECT_EQ(SpeakerUtilities::createSpeaker("1", std::nullopt, 5, std::vector<float>(256, 0.0f)), nullptr);
  EXPECT_TRUE(log.contains(Level::error, "Failed to create speaker: Invalid embedding: failed quality checks"));

  const auto made = SpeakerUtilities::createSpeaker("9", std::nullopt, 5, scaled(axis(1), 4));
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->name, "Speaker 9");
  EXPECT_FLOAT_EQ(made->currentEmbedding[1], 1.0f);
  EXPECT_FALSE(made->isPermanent);
}

TEST(SpeakerUtilities, ClosestSpeakerKeepsTheEarlierOfEqualCandidates) {
  const auto first = speaker("1", 0);
  const auto second = speaker("2", 0);
  const auto far = speaker("3", 1);
  const auto best = SpeakerUtilities::findClosestSpeaker(axis(0), {far, first, second});
  EXPECT_EQ(best.speaker, first);
  EXPECT_EQ(SpeakerUtilities::findClosestSpeaker(axis(0), {}).distance, kInf);
}

TEST(SpeakerUtilities, SegmentUpdateBlendsAppendsAndAddsDuration) {
  EXPECT_FALSE(SpeakerUtilities::updateSpeakerWithSegment(axis(0), {}, 1, axis(1), 0.5f, "s").has_value());
  const auto result = SpeakerUtilities::updateSpeakerWithSegment(axis(0), {}, 1, scaled(axis(1), 2), 2, "s", 0.5f);
  ASSERT_TRUE(result.has_value());
  ASSERT_TRUE(result->updatedMainEmbedding.has_value());
  EXPECT_NEAR((*result->updatedMainEmbedding)[0], std::sqrt(0.5f), 1e-6);
  EXPECT_NEAR((*result->updatedMainEmbedding)[1], std::sqrt(0.5f), 1e-6);
  EXPECT_EQ(result->updatedRawEmbeddings.size(), 1u);
  EXPECT_FALSE(result->shouldRecalculate);
  EXPECT_FLOAT_EQ(result->updatedDuration, 3);
}

TEST(SpeakerUtilities, MergeAndAverageSkipVectorsOfAnotherLength) {
  std::vector<RawEmbedding> one, two;
  for (int i = 0; i < 3; ++i) one.emplace_back("a" + std::to_string(i), axis(0), WallTime{} + std::chrono::seconds(i));
  for (int i = 0; i < 3; ++i)
    two.emplace_back("b" + std::to_string(i), axis(1), WallTime{} + std::chrono::seconds(10 + i));
  const auto merged = SpeakerUtilities::mergeSpeakers(one, 1, two, 2, 4);
  ASSERT_EQ(merged.mergedRaw.size(), 4u);
  EXPECT_EQ(merged.mergedRaw.front().segmentId, "b2");
  EXPECT_FLOAT_EQ(merged.mergedDuration, 3);
  ASSERT_TRUE(merged.newMainEmbedding.has_value());
  EXPECT_GT((*merged.newMainEmbedding)[1], (*merged.newMainEmbedding)[0]);

  const auto mean = SpeakerUtilities::averageEmbeddings({axis(0), axis(0, 10), axis(1)});
  ASSERT_TRUE(mean.has_value());
  EXPECT_NEAR((*mean)[0], std::sqrt(0.5f), 1e-6);
  EXPECT_FALSE(SpeakerUtilities::averageEmbeddings({}).has_value());
}
