#include <voxtrellis/DiarizerError.h>
#include <voxtrellis/DiarizerManager.h>

#include "Diarizer/Core/ChunkSegments.h"
#include "engine/Diarizer/StreamingDiarizerTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <set>
#include <thread>

using namespace voxtrellis;
using namespace streamtest;

namespace {

std::unique_ptr<DiarizerManager> diarizer(DiarizerConfig config = {}) {
  auto d = std::make_unique<DiarizerManager>(config);
  d->initialize(loadModels());
  return d;
}

// Each expected turn (start, end) with the speaker found in it.
struct Turn {
  double start, end;
  std::string speaker;
};

void expectTurns(const std::vector<TimedSpeakerSegment>& segments, const std::vector<Turn>& turns, double shift = 0) {
  ASSERT_EQ(segments.size(), turns.size());
  for (std::size_t i = 0; i < turns.size(); ++i) {
    EXPECT_EQ(segments[i].speakerId, turns[i].speaker) << i;
    EXPECT_NEAR(segments[i].startTimeSeconds, turns[i].start + shift, 0.05) << i;
    EXPECT_NEAR(segments[i].endTimeSeconds, turns[i].end + shift, 0.05) << i;
    EXPECT_GE(segments[i].qualityScore, 0.0f);
    EXPECT_LE(segments[i].qualityScore, 1.0f);
  }
}

}  // namespace

TEST(DiarizerManager, KeepsBothVoicesAcrossChunksAndCalls) {
  auto d = diarizer();
  EXPECT_TRUE(d->isAvailable());
  const auto result = d->performCompleteDiarization(twoVoices());
  expectTurns(result.segments, {{0, 4, "1"}, {5, 9, "2"}, {11, 15, "1"}, {16, 19, "2"}, {21, 24, "1"}, {25, 28, "2"}});
  EXPECT_FALSE(result.speakerDatabase.has_value());
  EXPECT_FALSE(result.timings.has_value());
  EXPECT_EQ(d->speakerManager().speakerCount(), 2);

  // A later call, placed at 100 s, continues the same speakers.
  auto more = silence(10);
  addTone(more, kVoiceB, 1, 3);
  addTone(more, kVoiceA, 4, 8);
  expectTurns(d->performCompleteDiarization(more, 16000, 100).segments, {{1, 3, "2"}, {4, 8, "1"}}, 100);
  EXPECT_EQ(d->speakerManager().speakerCount(), 2);
}

TEST(DiarizerManager, TheLastPartialChunkIsPaddedAndDiarized) {
  auto audio = silence(25);
  addTone(audio, kVoiceA, 21, 24);
  auto d = diarizer();
  expectTurns(d->performCompleteDiarization(audio).segments, {{21, 24, "1"}});
  EXPECT_TRUE(d->performCompleteDiarization(std::vector<float>{}).segments.empty());
}

TEST(DiarizerManager, ASlotNeedsMoreThanTheMinimumActiveFramesForASpeaker) {
  DiarizerConfig config;
  config.minSpeechDuration = 0.1f;
  for (const int frames : {10, 11}) {
    // A tone over whole frames 100... lights exactly that many frames.
    auto audio = silence(10);
    addTone(audio, kVoiceA, 100 * 270.0 / kRate, (100 + frames) * 270.0 / kRate);
    auto d = diarizer(config);
    const auto segments = d->performCompleteDiarization(audio).segments;
    EXPECT_EQ(segments.size(), frames > 10 ? 1u : 0u) << frames;
    EXPECT_EQ(d->speakerManager().speakerCount(), frames > 10 ? 1 : 0) << frames;
  }
}

TEST(DiarizerManager, DebugModeAddsTheSpeakerDatabaseAndTimings) {
  DiarizerConfig config;
  config.debugMode = true;
  auto d = diarizer(config);
  const auto result = d->performCompleteDiarization(twoVoices());
  ASSERT_TRUE(result.speakerDatabase.has_value());
  EXPECT_EQ(result.speakerDatabase->size(), 2u);
  EXPECT_EQ(result.speakerDatabase->at("1"), d->speakerManager().getSpeaker("1")->currentEmbedding);
  ASSERT_TRUE(result.timings.has_value());
  EXPECT_GT(result.timings->segmentationSeconds(), 0.0);
  EXPECT_GT(result.timings->embeddingExtractionSeconds(), 0.0);
  EXPECT_DOUBLE_EQ(result.timings->audioLoadingSeconds(), 0.0);
  EXPECT_DOUBLE_EQ(result.timings->modelCompilationSeconds(), loadModels().compilationDuration);
}

TEST(DiarizerManager, KnownSpeakersNameTheirVoicesAndNewVoicesGetNumbers) {
  auto learner = diarizer();
  auto voiceA = silence(10);
  addTone(voiceA, kVoiceA, 0, 8);
  learner->performCompleteDiarization(voiceA);
  const auto a = learner->speakerManager().getSpeaker("1");
  ASSERT_NE(a, nullptr);

  auto d = diarizer();
  d->initializeKnownSpeakers({std::make_shared<Speaker>("alice", "Alice", a->currentEmbedding, 8.0f)});
  d->speakerManager().makeSpeakerPermanent("alice");
  const auto result = d->performCompleteDiarization(twoVoices());
  expectTurns(result.segments,
              {{0, 4, "alice"}, {5, 9, "1"}, {11, 15, "alice"}, {16, 19, "1"}, {21, 24, "alice"}, {25, 28, "1"}});
  d->speakerManager().reset(true);
  EXPECT_EQ(d->speakerManager().speakerIds(), (std::vector<std::string>{"alice"}));
}

TEST(DiarizerManager, RefusesToRunUninitialisedOrOnChunksTheModelsCannotTake) {
  DiarizerManager idle;
  EXPECT_FALSE(idle.isAvailable());
  EXPECT_THROW(idle.performCompleteDiarization(silence(1)), DiarizerError);

  struct Case {
    float duration, overlap;
    int rate;
  };
  // Steps that cannot advance, and chunks the models' 10 s at 16 kHz would
  // only see the start of (a voice late in a 15 s chunk would vanish).
  for (const auto& c :
       {Case{10, 10, 16000}, Case{10, 12, 16000}, Case{0.5f, 0, 16000}, Case{10, 0, 0}, Case{NAN, 0, 16000},
        Case{1e12f, 0, 16000}, Case{15, 0, 16000}, Case{11, 2, 16000}, Case{10, 0, 8000}, Case{10, 0, 44100}}) {
    DiarizerConfig config;
    config.chunkDuration = c.duration;
    config.chunkOverlap = c.overlap;
    auto d = diarizer(config);
    try {
      d->performCompleteDiarization(silence(1), c.rate);
      ADD_FAILURE() << c.duration << " / " << c.overlap << " / " << c.rate << " was run";
    } catch (const DiarizerError& e) {
      EXPECT_EQ(e.code(), DiarizerError::Code::processingFailed);
    }
  }

  auto d = diarizer();
  d->cleanup();
  EXPECT_FALSE(d->isAvailable());
  EXPECT_THROW(d->performCompleteDiarization(silence(1)), DiarizerError);
}

TEST(ChunkSegments, SegmentsNeedALabelAndTheMinimumLengthAndScoreAtMostOne) {
  ChunkSlots slots;
  // Slot 0 active in frames 10–69 (exactly 1.0125 s), slot 1 in 100–150, slot 2 never.
  slots.frames.assign(200, std::vector<float>{0, 0, 0});
  for (std::size_t f = 10; f < 70; ++f) slots.frames[f][0] = 1;
  for (std::size_t f = 100; f < 150; ++f) slots.frames[f][1] = 1;
  slots.activities = {500, 50, 0};  // the chunk-wide activity can exceed a segment's length
  slots.embeddings = {std::vector<float>(256, 1.0f), std::vector<float>(256, 1.0f), std::vector<float>(256, 0.0f)};
  slots.labels = {"1", "", ""};
  DiarizerConfig config;
  config.minSpeechDuration =
      static_cast<float>(2.0 + 70 * kFrameStepSeconds) - static_cast<float>(2.0 + 10 * kFrameStepSeconds);
  const auto segments = createTimedSegments(slots, 2.0, config);
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].speakerId, "1");
  EXPECT_FLOAT_EQ(segments[0].startTimeSeconds, static_cast<float>(2.0 + 10 * kFrameStepSeconds));
  EXPECT_FLOAT_EQ(segments[0].qualityScore, 1.0f);

  config.minSpeechDuration += 0.001f;
  EXPECT_TRUE(createTimedSegments(slots, 2.0, config).empty());
}

TEST(DiarizerManager, ItsDatabaseAnswersOtherThreadsWhileItRuns) {
  auto d = diarizer();
  const auto audio = twoVoices();
  std::atomic<bool> done{false};
  std::atomic<int> queries{0};
  std::thread reader([&] {
    while (!done) {
      const auto stats = d->speakerManager().getGlobalSpeakerStats();
      EXPECT_LE(stats.totalSpeakers, 2);
      d->speakerManager().findSpeaker(std::vector<float>(256, 1.0f));
      d->speakerManager().findMergeablePairs();
      ++queries;
    }
  });
  while (queries == 0) std::this_thread::yield();  // the reader is under way before the first chunk
  for (int run = 0; run < 3; ++run) d->performCompleteDiarization(audio, 16000, 30.0 * run);
  done = true;
  reader.join();
  EXPECT_GT(queries.load(), 0);
  EXPECT_EQ(d->speakerManager().speakerIds(), (std::vector<std::string>{"1", "2"}));
}

TEST(DiarizerManager, DebugModeCopiesTheDatabaseWhileOtherThreadsAssign) {
  DiarizerConfig config;
  config.debugMode = true;
  auto d = diarizer(config);
  d->performCompleteDiarization(twoVoices());
  const std::vector<float> voiceA = d->speakerManager().getSpeaker("1")->currentEmbedding;  // no other thread yet
  std::atomic<bool> done{false};
  std::thread assigner([&] {
    // Each assignment refines speaker 1's main embedding in place.
    while (!done) d->speakerManager().assignSpeaker(voiceA, 2.0f);
  });
  for (int run = 0; run < 200; ++run) {
    // No audio: each call only copies the database.
    const auto result = d->performCompleteDiarization(std::vector<float>{});
    ASSERT_TRUE(result.speakerDatabase.has_value());
    EXPECT_EQ(result.speakerDatabase->at("1").size(), 256u);
  }
  done = true;
  assigner.join();
}
