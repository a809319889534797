#include <voxtrellis/Speaker.h>
#include <voxtrellis/SpeakerUtilities.h>

#include "Diarizer/Clustering/SpeakerIdText.h"
#include "engine/Diarizer/SpeakerTestSupport.h"
#include "engine/Shared/LogCapture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

using namespace voxtrellis;
using namespace speakertest;
using namespace std::chrono_literals;

namespace {

float norm(const std::vector<float>& v) {
  double s = 0;
  for (float x : v) s += double(x) * x;
  return static_cast<float>(std::sqrt(s));
}

RawEmbedding rawAt(std::size_t direction, WallTime when, const std::string& segment = "S") {
  return RawEmbedding(segment, axis(direction), when);
}

}  // namespace

TEST(SpeakerRecords, ConstructionNormalisesTheEmbeddingAndFillsAbsentIdNameAndDates) {
  const Speaker named("7", std::nullopt, scaled(axis(3), 5.0f), 1.5f);
  EXPECT_EQ(named.id(), "7");
  EXPECT_EQ(named.name, "7");
  EXPECT_FLOAT_EQ(named.currentEmbedding[3], 1.0f);
  EXPECT_EQ(named.createdAt, named.updatedAt);
  EXPECT_EQ(named.updateCount, 1);

  const Speaker anonymous;
  EXPECT_EQ(anonymous.id().size(), 36u);
  EXPECT_NE(anonymous.id(), Speaker().id());
}

TEST(SpeakerRecords, HistoryIgnoresVoicelessEmbeddingsAndKeepsTheFiftyNewest) {
  Speaker s("1", "A", axis(0));
  s.addRawEmbedding(RawEmbedding("quiet", std::vector<float>(256, 0.0f), WallTime{}));
  s.updateMainEmbedding(3.0f, std::vector<float>(256, 0.001f), "quiet", 0.9f);
  EXPECT_TRUE(s.rawEmbeddings.empty());
  EXPECT_EQ(s.duration, 0.0f);
  EXPECT_EQ(s.updateCount, 1);

  for (int i = 0; i < 51; ++i) s.addRawEmbedding(rawAt(1, WallTime{} + std::chrono::seconds(i), std::to_string(i)));
  ASSERT_EQ(s.rawEmbeddings.size(), 50u);
  EXPECT_EQ(s.rawEmbeddings.front().segmentId, "1");
  EXPECT_EQ(s.rawEmbeddings.back().segmentId, "50");
  EXPECT_FLOAT_EQ(s.currentEmbedding[1], 1.0f);
}

TEST(SpeakerRecords, MovingAverageKeepsAlphaOfTheOldCentroidAndCountsTheUpdate) {
  Speaker s("1", "A", axis(0), 1.0f);
  s.updateMainEmbedding(2.0f, scaled(axis(1), 3.0f), "seg", 0.9f);
  // The history (one entry along axis 1) replaces the centroid first, then
  // the average with the same vector keeps it there.
  EXPECT_NEAR(s.currentEmbedding[1], 1.0f, 1e-6);
  EXPECT_FLOAT_EQ(s.duration, 3.0f);
  EXPECT_EQ(s.updateCount, 2);
  ASSERT_EQ(s.rawEmbeddings.size(), 1u);
  EXPECT_NEAR(norm(s.rawEmbeddings[0].embedding), 1.0f, 1e-6);

  ASSERT_TRUE(s.removeRawEmbedding("seg").has_value());
  EXPECT_FALSE(s.removeRawEmbedding("seg").has_value());

  // With an older entry the history's mean (1, 1)/√2 moves: 0.9 of it and
  // 0.1 of the new vector along axis 1, made unit length again.
  Speaker two("2", "B", axis(0), 1.0f);
  two.addRawEmbedding(rawAt(0, std::chrono::system_clock::now(), "old"));
  two.updateMainEmbedding(1.0f, axis(1), "new", 0.9f);
  EXPECT_NEAR(two.currentEmbedding[0], 0.653866f, 1e-5);
  EXPECT_NEAR(two.currentEmbedding[1], 0.756611f, 1e-5);
}

TEST(SpeakerRecords, RecalculationAveragesOnlyEntriesOfTheFirstEntrysLength) {
  Speaker s("1", "A", axis(5));
  s.rawEmbeddings = {rawAt(0, WallTime{}), RawEmbedding("x", axis(1, 128), WallTime{}), rawAt(2, WallTime{})};
  s.recalculateMainEmbedding();
  EXPECT_NEAR(s.currentEmbedding[0], std::sqrt(0.5f), 1e-6);
  EXPECT_NEAR(s.currentEmbedding[2], std::sqrt(0.5f), 1e-6);
  EXPECT_EQ(s.currentEmbedding[1], 0.0f);
}

TEST(SpeakerRecords, MergeKeepsTheFiftyNewestNewestFirstAndAddsCounts) {
  Speaker a("1", "A", axis(0), 2.0f);
  Speaker b("2", "B", axis(1), 3.0f);
  a.updateCount = 4;
  b.updateCount = 6;
  for (int i = 0; i < 40; ++i) {
    a.rawEmbeddings.push_back(rawAt(0, WallTime{} + std::chrono::seconds(2 * i), "a" + std::to_string(i)));
    b.rawEmbeddings.push_back(rawAt(1, WallTime{} + std::chrono::seconds(2 * i + 1), "b" + std::to_string(i)));
  }
  a.mergeWith(b, std::string("Both"));
  ASSERT_EQ(a.rawEmbeddings.size(), 50u);
  EXPECT_EQ(a.rawEmbeddings.front().segmentId, "b39");
  EXPECT_EQ(a.rawEmbeddings.back().segmentId, "a15");
  EXPECT_EQ(a.updateCount, 10);
  EXPECT_FLOAT_EQ(a.duration, 5.0f);
  EXPECT_EQ(a.name, "Both");
  EXPECT_EQ(b.rawEmbeddings.size(), 40u);
}

TEST(SpeakerRecords, SendableIdReadsDecimalTextElseANonNegativeHash) {
  struct Case {
    std::string id;
    std::optional<int64_t> number;
  };
  const Case cases[] = {{"12", 12},           {"+7", 7},
                        {"-3", -3},           {"+-5", std::nullopt},
                        {"", std::nullopt},   {"1a", std::nullopt},
                        {" 4", std::nullopt}, {"99999999999999999999", std::nullopt}};
  for (const auto& c : cases) {
    const SendableSpeaker s(Speaker(c.id, std::string(""), axis(0)));
    if (c.number) {
      EXPECT_EQ(s.id, *c.number) << c.id;
    } else {
      EXPECT_EQ(s.id, absoluteHashId(std::hash<std::string>()(c.id))) << c.id;
      EXPECT_GE(s.id, 0) << c.id;
    }
    EXPECT_EQ(s.label(), "Speaker #" + std::to_string(s.id));
  }
  EXPECT_EQ(Speaker("3", std::string("Ann"), axis(0)).toSendable().label(), "Ann");
}

TEST(SpeakerRecords, TheHashWithoutAnAbsoluteValueStillGivesANonNegativeId) {
  EXPECT_EQ(absoluteHashId(static_cast<std::size_t>(std::numeric_limits<int64_t>::min())),
            std::numeric_limits<int64_t>::max());
  EXPECT_EQ(absoluteHashId(static_cast<std::size_t>(-5)), 5);
}

TEST(SpeakerRecords, JsonKeepsEveryFieldAsStored) {
  Speaker s("4", "Dora", axis(2), 7.5f, WallTime{} + 1000s, WallTime{} + 2000s, true);
  s.currentEmbedding = scaled(axis(2), 3.0f);  // not unit length: decoding must not normalise
  s.updateCount = 9;
  for (int i = 0; i < 55; ++i) s.rawEmbeddings.push_back(rawAt(1, WallTime{} + std::chrono::seconds(i)));
  const auto back = Speaker::fromJson(s.toJson());
  EXPECT_EQ(back->id(), "4");
  EXPECT_EQ(back->name, "Dora");
  EXPECT_EQ(back->currentEmbedding, s.currentEmbedding);
  EXPECT_EQ(back->duration, 7.5f);
  EXPECT_EQ(back->createdAt, s.createdAt);
  EXPECT_EQ(back->updatedAt, s.updatedAt);
  EXPECT_EQ(back->updateCount, 9);
  EXPECT_EQ(back->rawEmbeddings.size(), 55u);
  EXPECT_EQ(back->rawEmbeddings[54].timestamp, s.rawEmbeddings[54].timestamp);
  EXPECT_TRUE(back->isPermanent);

  const auto raw = RawEmbedding::fromJson(R"({"segmentId":"X","embedding":[3,4],"timestamp":12.5})");
  EXPECT_EQ(raw.embedding, (std::vector<float>{3, 4}));
  EXPECT_EQ(raw.timestamp, WallTime{} + 12500ms);
}

TEST(SpeakerRecords, DecodingFailsOnEveryMissingOrMistypedKey) {
  const auto full = nlohmann::json::parse(Speaker("1", "A", axis(0)).toJson());
  for (const auto& [key, value] : full.items()) {
    auto missing = full;
    missing.erase(key);
    EXPECT_THROW(Speaker::fromJson(missing.dump()), SpeakerDecodingError) << key;
    auto mistyped = full;
    mistyped[key] = nlohmann::json::object();
    EXPECT_THROW(Speaker::fromJson(mistyped.dump()), SpeakerDecodingError) << key;
  }
  EXPECT_THROW(Speaker::fromJson("not json"), SpeakerDecodingError);
  EXPECT_THROW(RawEmbedding::fromJson(R"({"segmentId":"X","embedding":[1]})"), SpeakerDecodingError);
}
