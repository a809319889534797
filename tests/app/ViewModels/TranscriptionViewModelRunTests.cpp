// One run at a time in the view model: every road refused while one runs, a segment recognised
// again beside the version it belongs to, and the diarizer's choices each run starts with.

#include "app/ViewModels/TranscriptionViewModelFixture.h"

#include "Models/Transcription.h"

#include <tuple>
#include <vector>

#include <gtest/gtest.h>

using namespace pipelinetest;

namespace {

using namespace transcriptionviewmodeltest;

TEST_F(TranscriptionViewModelTest, EveryRoadIsRefusedWhileOneRuns) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  Transcription* first = h->vm->currentTranscription();
  engine->recognizeGate = std::make_shared<Gate>();
  h->vm->processFile(QUrl::fromLocalFile(audio));
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->recognizeGate->hasWaiter(); }));

  h->vm->processFile(QUrl::fromLocalFile(audio));
  EXPECT_TRUE(h->logged("Cannot process file - system busy or not ready"));
  h->vm->processYouTubeURL("https://youtu.be/abc");
  EXPECT_TRUE(h->logged("Cannot process URL - system busy or not ready"));
  h->vm->reprocess();
  EXPECT_TRUE(h->logged("Cannot reprocess - system busy"));
  // A stored version cannot be shown mid-run: it would end the run's state and let
  // another run start.
  h->vm->loadTranscription(first);
  EXPECT_TRUE(h->logged("Cannot load transcription - system busy"));
  EXPECT_EQ(h->vm->state().stage(), ProcessingStage::transcribing);
  h->vm->processFile(QUrl::fromLocalFile(audio));
  EXPECT_EQ(engine->recognitions, 2);

  engine->recognizeGate->open();
  ASSERT_TRUE(h->settle());
  EXPECT_EQ(h->vm->currentTranscription()->name(), "Version 2");
}

TEST_F(TranscriptionViewModelTest, ReprocessingIsBusyWhileItRebuildsTheDiarizer) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  engine->prepareGate = std::make_shared<Gate>();
  h->vm->reprocess();
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->prepareGate->hasWaiter(); }));
  EXPECT_TRUE(h->vm->isBusy());
  h->vm->processFile(QUrl::fromLocalFile(audio));
  EXPECT_TRUE(h->logged("Cannot process file - system busy or not ready"));
  engine->prepareGate->open();
  ASSERT_TRUE(h->settle());
  EXPECT_TRUE(h->logged("Re-processing completed: 2 segments, 2 speakers"));
  EXPECT_EQ(h->vm->currentTranscription()->name(), "Version 1");
  EXPECT_EQ(h->vm->currentAudioSource()->transcriptions().size(), 1);
}

TEST_F(TranscriptionViewModelTest, ARetranscriptionKeepsNewRunsOutAndWritesBySegmentId) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  engine->recognize = [](std::span<const float>) {
    voxtrellis::ASRResult r;
    r.text = " again ";
    return r;
  };
  engine->recognizeGate = std::make_shared<Gate>();
  const QUuid target = h->vm->state().result()->segments[1].id;
  h->vm->retranscribeSegment(1);
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->recognizeGate->hasWaiter(); }));
  EXPECT_FALSE(h->vm->canRetranscribeSegment());
  h->vm->processFile(QUrl::fromLocalFile(audio));
  EXPECT_TRUE(h->logged("Cannot process file - system busy or not ready"));
  // Meanwhile the first segment is split: the re-transcribed one moves to index 2.
  ASSERT_EQ(h->vm->splitSegment(0, "hel lo", 3), 1);
  engine->recognizeGate->open();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h->vm->retranscribingSegmentIndex(); }));
  const auto& segments = h->vm->state().result()->segments;
  ASSERT_EQ(segments.size(), 3);
  EXPECT_EQ(segments[2].id, target);
  EXPECT_EQ(segments[2].text, "again");
  EXPECT_EQ(segments[0].text, "hel");
  EXPECT_TRUE(h->logged("Re-transcribed segment 1: \"again...\""));
}

TEST_F(TranscriptionViewModelTest, ARetranscriptionOfAVersionNoLongerShownIsDropped) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  engine->recognize = oneWord(" late");
  // Moved on to a copy of the version (same segment ids), then to nothing at all.
  for (bool duplicate : {true, false}) {
    SCOPED_TRACE(duplicate ? "duplicated" : "cleared");
    engine->recognizeGate = std::make_shared<Gate>();
    h->vm->retranscribeSegment(0);
    ASSERT_TRUE(testsupport::waitUntil([&] { return engine->recognizeGate->hasWaiter(); }));
    duplicate ? h->vm->duplicateCurrentTranscription() : h->vm->clearResult();
    engine->recognizeGate->open();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !h->vm->retranscribingSegmentIndex(); }));
    EXPECT_TRUE(h->logged("Re-transcription dropped: the segment is no longer shown"));
  }
  EXPECT_EQ(h->vm->state().kind(), ProcessingState::Kind::modelsReady);
  const auto versions = h->context->fetch<Transcription>();
  ASSERT_EQ(versions.size(), 2);
  for (Transcription* version : versions) EXPECT_EQ(h->storedTexts(version->id()).first(), "hello");
}

TEST_F(TranscriptionViewModelTest, ARetranscriptionReadsOnlyTheCachedAudioUnderItsSegment) {
  ASSERT_TRUE(h->startModels());
  // Three one-word segments; the last two reach past the 3 s of audio, the last starting
  // exactly where the cached samples end (nothing of it is cached).
  engine->recognize = [](std::span<const float>) {
    voxtrellis::ASRResult r;
    std::vector<voxtrellis::TokenTiming> tokens;
    for (auto [text, start, end] : {std::tuple{" hello", 0.5, 0.9}, {" late", 2.8, 3.6}, {" gone", 3.0, 3.8}}) {
      voxtrellis::TokenTiming t;
      t.token = text;
      t.startTime = start;
      t.endTime = end;
      tokens.push_back(t);
    }
    r.tokenTimings = tokens;
    return r;
  };
  h->vm->setMaxSubtitleChars(4);
  runFile(audio);
  ASSERT_EQ(h->vm->state().result()->segments.size(), 3);
  std::vector<std::size_t> heard;
  engine->recognize = [&heard](std::span<const float> samples) {
    heard.push_back(samples.size());
    return voxtrellis::ASRResult();
  };
  ASSERT_EQ(h->vm->state().result()->segments[2].startTime, 3.0);
  h->vm->retranscribeSegment(2);
  EXPECT_TRUE(h->logged("Cannot re-transcribe: no cached audio samples"));
  EXPECT_FALSE(h->vm->retranscribingSegmentIndex());
  h->vm->retranscribeSegment(1);
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h->vm->retranscribingSegmentIndex(); }));
  EXPECT_EQ(heard, std::vector<std::size_t>{std::size_t(3 * kRate - 2.8 * kRate)});
}

TEST_F(TranscriptionViewModelTest, DiarizationSettingsAreAppliedOnlyWhenIdleAndAFailureKeepsTheOldDiarizer) {
  ASSERT_TRUE(h->startModels());
  h->vm->setDiarizationPreset(DiarizationPreset::custom);
  h->vm->setCustomThreshold(0.42);
  h->vm->setNumSpeakers(std::nullopt);
  h->vm->updateDiarizationSettings();
  ASSERT_TRUE(h->settle());
  EXPECT_EQ(engine->lastConfig.clustering.threshold, 0.42);
  EXPECT_EQ(engine->lastConfig.clustering.numSpeakers, std::nullopt);
  EXPECT_TRUE(h->logged("Diarization config updated: threshold=0.42, preset=Custom"));

  engine->recognizeGate = std::make_shared<Gate>();
  h->vm->processFile(QUrl::fromLocalFile(audio));
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->recognizeGate->hasWaiter(); }));
  h->vm->updateDiarizationSettings();
  EXPECT_EQ(engine->preparedDiarizers, 2);
  engine->recognizeGate->open();
  ASSERT_TRUE(h->settle());

  engine->failDiarizer = true;
  h->vm->updateDiarizationSettings();
  ASSERT_TRUE(h->settle());
  EXPECT_TRUE(h->logged("Failed to update diarization settings: diarizer models missing"));
  EXPECT_EQ(h->vm->state().kind(), ProcessingState::Kind::completed);
  runFile(audio);
}

TEST_F(TranscriptionViewModelTest, EachRunDiarizesWithTheChoicesItStartedWithAndStoresThem) {
  ASSERT_TRUE(h->startModels());
  // Chosen in the pre-run sheet or the side panel: the next run's diarizer is built from them.
  h->vm->setDiarizationPreset(DiarizationPreset::custom);
  h->vm->setCustomThreshold(0.42);
  h->vm->setMinSpeakers(3);
  h->vm->setMaxSubtitleChars(5);
  engine->recognizeGate = std::make_shared<Gate>();
  h->vm->processFile(QUrl::fromLocalFile(audio));
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->recognizeGate->hasWaiter(); }));
  // Changed while the run goes on: this run keeps what it started with.
  h->vm->setDiarizationPreset(DiarizationPreset::fewerSpeakers);
  h->vm->setMaxSubtitleChars(150);
  engine->recognizeGate->open();
  ASSERT_TRUE(h->settle());
  EXPECT_EQ(engine->lastConfig.clustering.threshold, 0.42);
  EXPECT_EQ(engine->lastConfig.clustering.minSpeakers, 3);
  Transcription* version = h->vm->currentTranscription();
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->preset(), DiarizationPreset::custom);
  EXPECT_EQ(version->customThreshold(), 0.42);
  EXPECT_EQ(version->minSpeakers(), 3);
  EXPECT_EQ(version->maxSubtitleChars(), 5);
  EXPECT_EQ(h->vm->state().result()->segments[0].text, "hello");

  // Unchanged choices reuse the diarizer; a diarizer that cannot be rebuilt leaves the run on
  // the previous one, and the version records those previous choices.
  const int prepared = engine->preparedDiarizers;
  h->vm->setDiarizationPreset(DiarizationPreset::custom);
  runFile(audio);
  EXPECT_EQ(engine->preparedDiarizers, prepared);
  engine->failDiarizer = true;
  h->vm->setDiarizationPreset(DiarizationPreset::fewerSpeakers);
  runFile(audio);
  EXPECT_TRUE(h->logged("Failed to update diarization settings: diarizer models missing"));
  EXPECT_EQ(h->vm->currentTranscription()->preset(), DiarizationPreset::custom);
  EXPECT_EQ(h->vm->currentTranscription()->customThreshold(), 0.42);
}

TEST_F(TranscriptionViewModelTest, AFailedSpeakerDetectionKeepsTheTextAsOneSpeakerAndSaysWhyButNoTextIsNoVersion) {
  ASSERT_TRUE(h->startModels());
  engine->diarize = [](std::span<const float>) -> voxtrellis::DiarizationResult {
    throw std::runtime_error("embedding model crashed");
  };
  runFile(audio);
  const auto& result = *h->vm->state().result();
  ASSERT_EQ(result.segments.size(), 1);
  EXPECT_EQ(result.segments[0].text, "hello world");
  EXPECT_EQ(result.speakerCount(), 1);
  ASSERT_NE(h->vm->currentTranscription(), nullptr);
  EXPECT_EQ(h->storedTexts(h->vm->currentTranscription()->id()), QStringList{"hello world"});
  EXPECT_EQ(h->vm->statusMessage(), "Transcription complete - speaker detection failed: embedding model crashed");
  EXPECT_TRUE(h->logged("Speaker detection failed: embedding model crashed - the text is kept as one speaker"));
  // The note belongs to that run: the next one that detects speakers reads plainly again.
  engine->diarize = FakeEngine().diarize;
  runFile(audio);
  EXPECT_EQ(h->vm->statusMessage(), "Transcription complete");

  // Nothing recognised (only blanks, as in a silent file), whatever the diarizer would find:
  // there is no text to keep, and no empty version is stored.
  const int versions = storedRows("Transcription");
  for (const char* heard : {"", " "}) {
    engine->recognize = oneWord(heard);
    h->vm->processFile(QUrl::fromLocalFile(audio));
    ASSERT_TRUE(h->settle());
    EXPECT_EQ(h->vm->state().kind(), ProcessingState::Kind::failed);
    EXPECT_EQ(h->vm->statusMessage(), "Error: No speech detected in audio");
    EXPECT_TRUE(h->logged("Error: No speech detected in audio"));
    EXPECT_EQ(storedRows("Transcription"), versions);
  }
}

}  // namespace
