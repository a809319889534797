#include <voxtrellis/SpeakerManager.h>
#include <voxtrellis/SpeakerUtilities.h>

#include "engine/Diarizer/SpeakerTestSupport.h"
#include "engine/Shared/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <set>
#include <thread>

using namespace voxtrellis;
using namespace speakertest;
using Level = AppLogger::Level;
using namespace std::chrono_literals;

namespace {

// The chunked diarizer's settings with its default configuration.
SpeakerManager database() {
  return SpeakerManager(0.84f, 0.56f, 1.0f, 2.0f);
}

}  // namespace

TEST(SpeakerManager, AssignmentRefusesWrongSizesNonFiniteValuesAndShortNewSpeech) {
  test::LogCapture log;
  auto db = database();
  EXPECT_EQ(db.assignSpeaker(std::vector<float>(255, 1.0f), 5), nullptr);
  EXPECT_TRUE(log.contains(Level::error, "Invalid embedding size: 255"));
  EXPECT_EQ(db.assignSpeaker(std::vector<float>(257, 1.0f), 5), nullptr);
  auto withNaN = axis(0);
  withNaN[9] = std::nanf("");
  EXPECT_EQ(db.assignSpeaker(withNaN, 5), nullptr);
  EXPECT_EQ(db.assignSpeaker(axis(0), 0.9f), nullptr);
  EXPECT_TRUE(log.contains(Level::debug, "Audio segment too short (0.9s) to create new speaker"));
  EXPECT_EQ(db.speakerCount(), 0);

  const auto first = db.assignSpeaker(scaled(axis(0), 7), 1.0f);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->id(), "1");
  EXPECT_EQ(first->name, "Speaker 1");
  EXPECT_EQ(first->rawEmbeddings.size(), 1u);
  EXPECT_TRUE(log.contains("Created new speaker 1 (distance to closest: inf)"));
  // A NaN vector must not have founded a speaker that later vectors are compared with.
  EXPECT_EQ(db.assignSpeaker(axis(0), 1.0f), first);
}

TEST(SpeakerManager, AMatchRefinesOnlyWhenCloserThanTheEmbeddingThreshold) {
  auto db = database();
  const auto s = db.assignSpeaker(axis(0), 2.0f);
  // Between the embedding threshold (0.56) and the speaker threshold (0.84).
  EXPECT_EQ(db.assignSpeaker(atDistance(0, 1, 0.7), 3.0f), s);
  EXPECT_FLOAT_EQ(s->duration, 5.0f);
  EXPECT_EQ(s->updateCount, 1);
  EXPECT_EQ(s->rawEmbeddings.size(), 1u);
  EXPECT_FLOAT_EQ(s->currentEmbedding[0], 1.0f);
  // Closer: the centroid moves (0.9 of the history's mean, 0.1 of the new
  // vector), the history grows, the update is counted.
  EXPECT_EQ(db.assignSpeaker(atDistance(0, 1, 0.3), 1.0f), s);
  EXPECT_EQ(s->updateCount, 2);
  EXPECT_EQ(s->rawEmbeddings.size(), 2u);
  EXPECT_NEAR(s->currentEmbedding[0], 0.906146f, 1e-5);
  EXPECT_NEAR(s->currentEmbedding[1], 0.422964f, 1e-5);
  EXPECT_FLOAT_EQ(s->duration, 6.0f);

  // Exactly at the embedding threshold: a match that does not refine.
  auto edge = database();
  const auto e = edge.assignSpeaker(axis(0), 2.0f);
  const auto probe = atDistance(0, 1, 0.5);
  edge.embeddingThreshold = SpeakerUtilities::cosineDistance(probe, e->currentEmbedding);
  EXPECT_EQ(edge.assignSpeaker(probe, 1.0f), e);
  EXPECT_EQ(e->updateCount, 1);
  EXPECT_FLOAT_EQ(e->duration, 3.0f);
}

TEST(SpeakerManager, TheThresholdIsStrictForAssignmentAndInclusiveForSearch) {
  auto db = database();
  db.assignSpeaker(axis(0), 2.0f);
  const auto probe = atDistance(0, 1, 0.5);
  const float exact = SpeakerUtilities::cosineDistance(probe, db.getSpeaker("1")->currentEmbedding);
  EXPECT_EQ(db.findSpeaker(probe, exact).id, std::optional<std::string>("1"));
  ASSERT_EQ(db.findMatchingSpeakers(probe, exact).size(), 1u);
  EXPECT_EQ(db.assignSpeaker(probe, 2.0f, 1.0f, exact)->id(), "2");
  const auto none = db.findSpeaker(axis(7), 0.5f);
  EXPECT_FALSE(none.id.has_value());
  EXPECT_EQ(none.distance, std::numeric_limits<float>::infinity());
}

TEST(SpeakerManager, MatchingSpeakersComeClosestFirst) {
  auto db = database();
  db.upsertSpeaker("far", atDistance(0, 1, 0.6), 1);
  db.upsertSpeaker("near", atDistance(0, 2, 0.1), 1);
  db.upsertSpeaker("other", axis(5), 1);
  const auto matches = db.findMatchingSpeakers(axis(0), 0.7f);
  ASSERT_EQ(matches.size(), 2u);
  EXPECT_EQ(matches[0].id, "near");
  EXPECT_EQ(matches[1].id, "far");
  EXPECT_EQ(db.findSpeakers([](const Speaker& s) { return s.id() != "far"; }),
            (std::vector<std::string>{"near", "other"}));
}

TEST(SpeakerManager, KnownSpeakersMeetExistingOnesByMode) {
  struct Case {
    SpeakerInitializationMode mode;
    bool oldPermanent;
    const char* expectedName;
    const char* expectedLog;
  };
  const Case cases[] = {
      {SpeakerInitializationMode::skip, false, "Name 5", "Speaker 5 is already initialized. Skipping new speaker."},
      {SpeakerInitializationMode::merge, false, "New", "Speaker 5 is already initialized. Merging with old speaker."},
      {SpeakerInitializationMode::merge, true, "Name 5", "because the existing speaker is permanent. Skipping"},
      {SpeakerInitializationMode::overwrite, false, "New",
       "Speaker 5 is already initialized. Overwriting old speaker."},
      {SpeakerInitializationMode::overwrite, true, "Name 5", "Failed to overwrite Speaker 5 because it is permanent"},
  };
  for (const auto& c : cases) {
    test::LogCapture log;
    auto db = database();
    const auto old = speaker("5", 0, c.oldPermanent);
    db.initializeKnownSpeakers({old});
    auto incoming = std::make_shared<Speaker>("5", "New", axis(1), 4.0f);
    db.initializeKnownSpeakers({incoming}, c.mode, true);
    EXPECT_EQ(db.getSpeaker("5")->name, c.expectedName) << static_cast<int>(c.mode);
    EXPECT_TRUE(log.contains(Level::warning, c.expectedLog)) << c.expectedLog;
    EXPECT_EQ(db.speakerCount(), 1);
  }
}

TEST(SpeakerManager, KnownNumericIdsMoveTheCounterAndNewIdsNeverReuseOneInUse) {
  test::LogCapture log;
  auto db = database();
  db.initializeKnownSpeakers({speaker("3", 0), speaker("alice", 1), speaker("short", 2)});
  EXPECT_EQ(db.nextSpeakerId(), 4);
  EXPECT_TRUE(log.contains("Initialized with 3 known speakers, next ID will be: 4"));
  EXPECT_EQ(db.assignSpeaker(axis(10), 2)->id(), "4");

  // Known speakers without numbers put the counter back to 1 while "1" and
  // "2" are in the table: new speakers must go around them.
  auto again = database();
  const auto one = again.assignSpeaker(axis(0), 2);
  again.assignSpeaker(axis(1), 2);
  again.initializeKnownSpeakers({speaker("bob", 2)});
  EXPECT_EQ(again.nextSpeakerId(), 1);
  EXPECT_EQ(again.assignSpeaker(axis(3), 2)->id(), "3");
  EXPECT_EQ(again.getSpeaker("1"), one);
  EXPECT_EQ(again.speakerCount(), 4);

  auto kept = database();
  kept.upsertSpeaker("2", axis(0), 1, {}, 1, std::nullopt, std::nullopt, true);
  kept.upsertSpeaker("1", axis(1), 1);
  kept.reset(true);
  EXPECT_EQ(kept.speakerIds(), (std::vector<std::string>{"2"}));
  EXPECT_EQ(kept.assignSpeaker(axis(4), 2)->id(), "3");
  kept.reset(false);
  EXPECT_EQ(kept.speakerCount(), 0);
  EXPECT_EQ(kept.assignSpeaker(axis(4), 2)->id(), "1");
}

TEST(SpeakerManager, UpsertUpdatesInPlaceAndNeverClearsPermanence) {
  auto db = database();
  db.upsertSpeaker("7", scaled(axis(0), 2), 3, {}, 4, WallTime{} + 5s, WallTime{} + 6s, true);
  const auto s = db.getSpeaker("7");
  EXPECT_EQ(s->name, "7");
  EXPECT_FLOAT_EQ(s->currentEmbedding[0], 1.0f);  // normalised on insert
  EXPECT_EQ(s->updateCount, 4);
  EXPECT_EQ(db.nextSpeakerId(), 8);

  Speaker changed("7", "ignored", axis(1), 9);
  changed.currentEmbedding = scaled(axis(1), 2);
  db.upsertSpeaker(changed);
  EXPECT_EQ(db.getSpeaker("7"), s);
  EXPECT_EQ(s->name, "7");
  EXPECT_FLOAT_EQ(s->currentEmbedding[1], 2.0f);  // stored as given on update
  EXPECT_FLOAT_EQ(s->duration, 9);
  EXPECT_EQ(s->createdAt, WallTime{} + 5s);
  EXPECT_TRUE(s->isPermanent);
}

TEST(SpeakerManager, MergingAndPairSearchProtectPermanentSpeakers) {
  for (const bool permanentFirst : {true, false}) {
    auto db = database();
    const std::string keep = permanentFirst ? "a" : "b";
    const std::string other = permanentFirst ? "b" : "a";
    db.upsertSpeaker(keep, axis(0), 1, {}, 1, std::nullopt, std::nullopt, true);
    db.upsertSpeaker(other, atDistance(0, 1, 0.1), 1);
    const auto pairs = db.findMergeablePairs(0.3f);
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].speakerToMerge, other);
    EXPECT_EQ(pairs[0].destination, keep);

    db.mergeSpeaker(keep, other);  // a permanent source stays
    EXPECT_EQ(db.speakerCount(), 2);
    db.mergeSpeaker(other, keep, std::string("Merged"));
    EXPECT_EQ(db.speakerIds(), (std::vector<std::string>{keep}));
    EXPECT_EQ(db.getSpeaker(keep)->name, "Merged");
  }
  auto both = database();
  both.upsertSpeaker("a", axis(0), 1, {}, 1, std::nullopt, std::nullopt, true);
  both.upsertSpeaker("b", axis(0), 1, {}, 1, std::nullopt, std::nullopt, true);
  EXPECT_TRUE(both.findMergeablePairs(0.3f).empty());
  EXPECT_EQ(both.findMergeablePairs(0.3f, false).size(), 1u);
}

TEST(SpeakerManager, PermanenceFlagsCanBeSetRevokedAndReset) {
  test::LogCapture log;
  auto db = database();
  db.upsertSpeaker("1", axis(0), 1);
  db.upsertSpeaker("2", axis(1), 1);
  db.makeSpeakerPermanent("1");
  db.makeSpeakerPermanent("2");
  db.makeSpeakerPermanent("9");
  EXPECT_TRUE(log.contains(Level::warning, "Failed to mark speaker 9 as permanent (speaker not found)."));
  EXPECT_EQ(db.permanentSpeakerIds(), (std::vector<std::string>{"1", "2"}));
  db.revokePermanence("1");
  EXPECT_EQ(db.permanentSpeakerIds(), (std::vector<std::string>{"2"}));
  db.resetPermanentFlags();
  EXPECT_TRUE(db.permanentSpeakerIds().empty());
}

TEST(SpeakerManager, RemovalKeepsPermanentSpeakersWhenAsked) {
  test::LogCapture log;
  auto db = database();
  const auto old = std::chrono::system_clock::now() - 120s;
  db.upsertSpeaker("old", axis(0), 1, {}, 1, old, old);
  db.upsertSpeaker("oldKept", axis(1), 1, {}, 1, old, old, true);
  db.upsertSpeaker("fresh", axis(2), 1);
  db.removeSpeakersInactive(60s, true);
  EXPECT_EQ(db.speakerIds(), (std::vector<std::string>{"fresh", "oldKept"}));
  EXPECT_TRUE(log.contains("Removing speaker old due to inactivity"));

  db.removeSpeaker("oldKept");
  EXPECT_TRUE(log.contains(Level::warning, "Failed to remove speaker: oldKept (Speaker is permanent)"));
  db.removeSpeaker("nobody");
  EXPECT_TRUE(log.contains(Level::warning, "Failed to remove speaker: nobody (Speaker not found)"));
  db.removeSpeakers([](const Speaker&) { return true; });
  EXPECT_EQ(db.speakerIds(), (std::vector<std::string>{"oldKept"}));
  db.removeSpeakers([](const Speaker&) { return true; }, false);
  EXPECT_EQ(db.speakerCount(), 0);
}

TEST(SpeakerManager, ReassigningASegmentMovesOneHistoryEntry) {
  auto db = database();
  const auto from = db.assignSpeaker(axis(0), 2);
  const auto to = db.assignSpeaker(axis(1), 2);
  const std::string segment = from->rawEmbeddings[0].segmentId;
  EXPECT_FALSE(db.reassignSegment(segment, "1", "9"));
  EXPECT_FALSE(db.reassignSegment("missing", "1", "2"));
  EXPECT_TRUE(db.reassignSegment(segment, "1", "2"));
  EXPECT_TRUE(from->rawEmbeddings.empty());
  EXPECT_EQ(to->rawEmbeddings.size(), 2u);
  EXPECT_FLOAT_EQ(from->currentEmbedding[0], 1.0f);
  EXPECT_FLOAT_EQ(to->currentEmbedding[1], 1.0f);
}

TEST(SpeakerManager, StatisticsClampTheAverageConfidenceButLogItUnclamped) {
  test::LogCapture log;
  auto db = database();
  const auto empty = db.getGlobalSpeakerStats();
  EXPECT_EQ(empty.totalSpeakers, 0);
  db.upsertSpeaker("1", axis(0), 1.5f, {RawEmbedding("s", axis(0), WallTime{})}, 30);
  db.upsertSpeaker("2", axis(1), 2.0f, {}, 10);
  const auto stats = db.getGlobalSpeakerStats();
  EXPECT_EQ(stats.totalSpeakers, 2);
  EXPECT_FLOAT_EQ(stats.totalDuration, 3.5f);
  EXPECT_FLOAT_EQ(stats.averageConfidence, 1.0f);
  EXPECT_EQ(stats.speakersWithHistory, 1);
  EXPECT_TRUE(log.contains("Global stats - Speakers: 2, Duration: 3.5s, Avg confidence: 2.00, With history: 1"));
}

TEST(SpeakerManager, ConcurrentAssignmentsAndQueriesKeepIdsUniqueAndDurationsWhole) {
  auto db = database();
  constexpr int kThreads = 8;
  constexpr int kPerThread = 200;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      db.getGlobalSpeakerStats();
      db.findMergeablePairs();
      for (const auto& s : db.getSpeakerList()) (void)s->id();
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) db.assignSpeaker(axis(static_cast<std::size_t>((t + i) % 4) * 10), 1.0f);
    });
  }
  for (auto& w : writers) w.join();
  stop = true;
  reader.join();
  EXPECT_EQ(db.speakerIds(), (std::vector<std::string>{"1", "2", "3", "4"}));
  float total = 0;
  for (const auto& s : db.getSpeakerList()) total += s->duration;
  EXPECT_FLOAT_EQ(total, kThreads * kPerThread * 1.0f);
}
