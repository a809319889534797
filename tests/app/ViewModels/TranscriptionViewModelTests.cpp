// The view model's state, start-up, roads and their guards, with a scripted engine.

#include "Models/StoredSegment.h"
#include "Models/Transcription.h"
#include "Services/AudioPlayerService.h"
#include "Store/Statement.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "engine/Shared/AudioTestFiles.h"
#include "support/UiHeartbeat.h"

#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTimer>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

using namespace pipelinetest;

namespace {

// A recogniser that hears one word at 0.1 s.
std::function<voxtrellis::ASRResult(std::span<const float>)> oneWord(const char* token) {
  return [token](std::span<const float>) {
    voxtrellis::ASRResult r;
    r.text = token;
    voxtrellis::TokenTiming t;
    t.token = token;
    t.startTime = 0.1;
    t.endTime = 0.2;
    r.tokenTimings = std::vector{t};
    return r;
  };
}

class TranscriptionViewModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = std::make_shared<FakeEngine>();
    rebuild(true, {});
  }

  void rebuild(bool withGroup, std::shared_ptr<SampleCache> cache) {
    h = std::make_unique<Harness>(engine, withGroup, cache);
    audio = h->path("talk.wav");
    writeFloatWav(audio.toStdString(), twoVoices(3.0, {}));
  }

  void runFile(const QString& path) {
    h->vm->processFile(QUrl::fromLocalFile(path));
    ASSERT_TRUE(h->settle());
    ASSERT_EQ(h->vm->state().kind(), ProcessingState::Kind::completed) << h->vm->statusMessage().toStdString();
  }

  // Rows in the file, read through the store's own connection (it holds the file for itself).
  int storedRows(const char* table) {
    Statement count = h->context->database().prepare((std::string("SELECT COUNT(*) FROM ") + table).c_str());
    return count.step() == Statement::Step::row ? int(count.int64(0)) : -1;
  }

  // Triggers standing in for a failing disk when a segment with this text is written (a new
  // row or a changed one).
  void failSegmentWrites(const char* text) {
    for (const char* event : {"INSERT", "UPDATE"}) {
      const std::string sql = std::string("CREATE TRIGGER fail_") + event + " BEFORE " + event +
                              " ON StoredSegment WHEN NEW.text = '" + text +
                              "' BEGIN SELECT RAISE(ABORT, 'disk trouble'); END";
      h->context->database().execute(sql.c_str());
    }
  }
  void healDisk() {
    for (const char* name : {"fail_INSERT", "fail_UPDATE"}) {
      h->context->database().execute((std::string("DROP TRIGGER IF EXISTS ") + name).c_str());
    }
  }
  std::shared_ptr<FakeEngine> engine;
  std::unique_ptr<Harness> h;
  QString audio;
};

TEST_F(TranscriptionViewModelTest, StartsWithTheDocumentedDefaults) {
  const auto& vm = *h->vm;
  EXPECT_EQ(vm.state().kind(), ProcessingState::Kind::idle);
  // The run options start from the settings' transcription defaults.
  EXPECT_EQ(vm.diarizationPreset(), DiarizationPreset::balanced);
  EXPECT_EQ(vm.customThreshold(), 0.5);
  EXPECT_EQ(vm.numSpeakers(), 2);
  EXPECT_EQ(vm.minSpeakers(), std::nullopt);
  EXPECT_EQ(vm.maxSpeakers(), std::nullopt);
  EXPECT_EQ(vm.maxSubtitleChars(), 150);
  EXPECT_EQ(vm.maxSubtitleDuration(), 10.0);
  EXPECT_EQ(vm.audioEnhancement(), AudioEnhancementSettings());
  EXPECT_TRUE(vm.reassignToThisSegmentOnly());
  EXPECT_TRUE(vm.activeTab().isOriginal());
  EXPECT_TRUE(vm.logs().isEmpty());
  EXPECT_TRUE(testsupport::waitUntil([&] { return vm.isEnhancerAvailable(); }));

  // A default changed in the settings window is what the next run starts from.
  h->settings->setDefaultDiarizationPreset(DiarizationPreset::custom);
  h->settings->setDefaultCustomThreshold(0.65);
  h->settings->setDefaultMaxSubtitleChars(80);
  h->settings->setDefaultMaxSubtitleDuration(7.5);
  EXPECT_EQ(vm.diarizationPreset(), DiarizationPreset::custom);
  EXPECT_EQ(vm.customThreshold(), 0.65);
  EXPECT_EQ(vm.maxSubtitleChars(), 80);
  EXPECT_EQ(vm.maxSubtitleDuration(), 7.5);
  TranscriptionViewModel::Dependencies deps;
  deps.engine = engine;
  deps.settings = h->settings.get();
  deps.fileAccess = &h->fileAccess;
  deps.sampleCache = h->sampleCache;
  deps.audioEnhancer = std::make_shared<AudioEnhancer>(std::nullopt);
  const TranscriptionViewModel next(deps);
  EXPECT_EQ(next.diarizationPreset(), DiarizationPreset::custom);
  EXPECT_EQ(next.customThreshold(), 0.65);
  EXPECT_EQ(next.maxSubtitleChars(), 80);
  EXPECT_EQ(next.maxSubtitleDuration(), 7.5);
}

TEST_F(TranscriptionViewModelTest, StartUpRunsOnceAndReportsItsSteps) {
  QList<double> progress;
  QObject::connect(h->vm.get(), &TranscriptionViewModel::stateChanged, [&] {
    if (h->vm->state().kind() == ProcessingState::Kind::loadingModels) progress << h->vm->progress();
  });
  h->vm->initializeModels();
  h->vm->initializeModels();  // while loading: nothing
  ASSERT_TRUE(h->startModels());
  EXPECT_EQ(progress, (QList<double>{0.0, 0.09, 0.15, 0.3}));
  EXPECT_EQ(h->vm->progress(), 0.3);
  EXPECT_TRUE(h->logged("Diarization config: threshold=0.5, preset=Balanced"));
  EXPECT_TRUE(h->logged("  numSpeakers=2"));
  EXPECT_TRUE(h->logged("  minSpeakers=-1"));
  EXPECT_EQ(engine->lastConfig.clustering.numSpeakers, 2);
  const auto lines = h->vm->logs().size();
  h->vm->initializeModels();
  EXPECT_EQ(h->vm->logs().size(), lines);
  EXPECT_EQ(engine->preparedDiarizers, 1);
}

TEST_F(TranscriptionViewModelTest, AFailedDiarizerLeavesTheRecognizerAndRefusesFiles) {
  engine->failDiarizer = true;
  h->vm->initializeModels();
  ASSERT_TRUE(testsupport::waitUntil([&] { return h->vm->state().kind() == ProcessingState::Kind::failed; }));
  EXPECT_EQ(h->vm->statusMessage(), "Error: The speech models could not be loaded");
  EXPECT_EQ(h->vm->state().error()->details, "diarizer models missing");
  EXPECT_TRUE(h->logged("Failed to load models: diarizer models missing"));
  h->vm->processFile(QUrl::fromLocalFile(audio));
  EXPECT_TRUE(h->logged("Models not initialized"));
  EXPECT_EQ(h->vm->state().kind(), ProcessingState::Kind::failed);

  // "Try Again" starts the models again, keeping the loaded recogniser.
  engine->failDiarizer = false;
  h->vm->reset();
  ASSERT_TRUE(testsupport::waitUntil([&] { return h->vm->state().kind() == ProcessingState::Kind::modelsReady; }));
  EXPECT_EQ(std::count_if(h->vm->logs().begin(), h->vm->logs().end(),
                          [](const LogEntry& e) { return e.message == "Downloading ASR models..."; }),
            1);
  runFile(audio);
  EXPECT_EQ(h->vm->state().kind(), ProcessingState::Kind::completed);
}

TEST_F(TranscriptionViewModelTest, AFileBecomesAShownPlayedAndStoredVersion) {
  // Qt's global pool belongs to the window (Qt paints there in pieces while the UI thread
  // waits): with every thread of it taken, the models still start, the file still runs and is
  // cached, and the player still gets it.
  QThreadPool* qtPool = QThreadPool::globalInstance();
  auto heldByQt = std::make_shared<Gate>();
  for (int i = 0; i < qtPool->maxThreadCount(); ++i) qtPool->start([heldByQt] { heldByQt->wait(); });
  ASSERT_TRUE(h->startModels());
  QList<ProcessingStage> stages;
  // The run's end is three events, the window drawing between them: the version stored (before
  // anything of it is on screen to edit), the transcript shown, the player handed the file.
  int turn = 0;
  QTimer turns;
  QObject::connect(&turns, &QTimer::timeout, [&] { ++turn; });
  turns.start(0);
  int storedAt = -1, shownAt = -1, playerAt = -1;
  QObject::connect(h->vm.get(), &TranscriptionViewModel::stateChanged, [&] {
    if (auto stage = h->vm->state().stage()) stages << *stage;
    if (h->vm->state().kind() == ProcessingState::Kind::completed && shownAt < 0) shownAt = turn;
  });
  QObject::connect(h->vm.get(), &TranscriptionViewModel::currentTranscriptionChanged, [&] {
    if (!h->vm->currentTranscription() || storedAt >= 0) return;
    storedAt = turn;
    EXPECT_EQ(h->vm->state().stage(), ProcessingStage::merging);
  });
  QObject::connect(h->vm.get(), &TranscriptionViewModel::isBusyChanged, [&] {
    if (h->vm->isBusy()) return;
    playerAt = turn;
    EXPECT_TRUE(h->vm->audioPlayer().isLoading() || h->vm->audioPlayer().isLoaded());
  });
  runFile(audio);
  turns.stop();
  EXPECT_EQ(stages, (QList<ProcessingStage>{ProcessingStage::loadingAudio, ProcessingStage::transcribing,
                                            ProcessingStage::diarizing, ProcessingStage::merging}));
  EXPECT_GE(storedAt, 0);
  EXPECT_GT(shownAt, storedAt);
  EXPECT_GT(playerAt, shownAt);
  const auto& result = *h->vm->state().result();
  ASSERT_EQ(result.segments.size(), 2);
  EXPECT_EQ(result.segments[0].text, "hello");
  EXPECT_EQ(result.segments[1].speakerId, 1);
  EXPECT_EQ(result.speakerCount(), 2);
  EXPECT_EQ(h->vm->speakers().size(), 2);
  EXPECT_TRUE(testsupport::waitUntil([&] { return h->vm->audioPlayer().isLoaded(); }));
  ASSERT_TRUE(h->vm->mediaSource());
  EXPECT_EQ(h->vm->mediaSource()->title, "talk");
  EXPECT_TRUE(h->logged("Processing file: talk.wav"));
  EXPECT_TRUE(h->logged("Transcription completed: 2 segments, 2 speakers"));
  EXPECT_TRUE(h->loggedStart("Processing time: "));
  ASSERT_NE(h->vm->currentTranscription(), nullptr);
  EXPECT_EQ(h->vm->currentTranscription()->name(), "Version 1");
  EXPECT_EQ(h->settings->lastUsedGroupId(), h->group->id());
  EXPECT_EQ(storedRows("StoredSegment"), 2);

  // The sample cache is written in the background and its path recorded on the source.
  AudioSource* source = h->vm->currentAudioSource();
  ASSERT_TRUE(testsupport::waitUntil([&] { return source->cachedSamplesPath().has_value(); }));
  EXPECT_TRUE(QFileInfo::exists(*source->cachedSamplesPath()));
  EXPECT_EQ(QFileInfo(*source->cachedSamplesPath()).size(), 3 * kRate * 4);
  heldByQt->open();

  // The same path again: one source, a second version, which takes none of the first one's
  // speaker names.
  h->vm->renameSpeaker(0, "Alice");
  runFile(audio);
  EXPECT_EQ(h->vm->currentTranscription()->name(), "Version 2");
  EXPECT_TRUE(h->vm->currentTranscription()->speakers().isEmpty());
  EXPECT_EQ(h->vm->speakers().first().customName, std::nullopt);
  EXPECT_EQ(source->transcriptions().size(), 2);
  EXPECT_EQ(h->context->fetch<AudioSource>().size(), 1);

  // Deleting the source takes its cache file with it once the deletion is saved; the samples in
  // memory go only when they are that source's.
  const QString cacheFile = *source->cachedSamplesPath();
  const QString other = h->path("other.wav");
  writeFloatWav(other.toStdString(), twoVoices(2.0, {}));
  runFile(other);
  AudioSource* otherSource = h->vm->currentAudioSource();
  h->context->remove(source);
  h->context->save();
  EXPECT_TRUE(testsupport::waitUntil([&] { return !QFileInfo::exists(cacheFile); }));
  EXPECT_TRUE(h->vm->hasCachedSamples());
  h->vm->clearResult();
  h->context->remove(otherSource);
  h->context->save();
  EXPECT_FALSE(h->vm->hasCachedSamples());
}

// A sample cache that cannot be written (its folder cannot be made: a file stands in the way, as
// it does for root too) is said in the activity log with the reason: re-processing and
// re-transcribing a segment later need the samples. It used to end "Transcription complete" with
// no word of it anywhere.
TEST_F(TranscriptionViewModelTest, ASampleCacheThatCannotBeWrittenIsSaidWithTheReason) {
  const testsupport::TempDir elsewhere{"pv-blocked-cache"};
  testsupport::writeFile(elsewhere.path() / "blocked", "a file, not a folder");
  rebuild(true, std::make_shared<AudioCacheService>(
                    QString::fromStdString((elsewhere.path() / "blocked/AudioCache").string())));
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  const auto said = [&] {
    for (const auto& entry : h->vm->logs()) {
      if (entry.message.startsWith("Audio samples could not be cached: ")) return entry.message;
    }
    return QString();
  };
  ASSERT_TRUE(testsupport::waitUntil([&] { return !said().isEmpty(); })) << "nothing said";
  EXPECT_TRUE(said().contains("Cannot create folder ")) << said().toStdString();
  EXPECT_TRUE(said().endsWith(": Not a directory")) << said().toStdString();
  EXPECT_FALSE(h->logged("Audio samples cached to disk"));
  EXPECT_FALSE(h->vm->currentAudioSource()->cachedSamplesPath().has_value());
}

// The player counted a raw file's time again from headers and byte positions, which damage puts
// off, and other containers' time by their own stamps, which a damaged header may make anything.
// After a run it seeks by where the loader found the file's sound, in a raw file and a WAV alike,
// and so it does when the version is opened again, from what the sample cache kept with the
// samples.
TEST_F(TranscriptionViewModelTest, ThePlayerSeeksByTheLoadersPlacesAfterTheRunAndWhenOpenedAgain) {
  ASSERT_TRUE(h->startModels());
  const QString raw = h->path("talk.aac");
  ASSERT_TRUE(voxtrellis::test::ffmpegMake(raw.toStdString(), "-i '" + audio.toStdString() + "' -c:a aac"));
  runFile(raw);
  Transcription* version = h->vm->currentTranscription();
  ASSERT_TRUE(testsupport::waitUntil([&] { return h->vm->audioPlayer().isLoaded(); }));
  EXPECT_TRUE(h->vm->audioPlayer().seeksByLoadersPlaces());
  ASSERT_TRUE(testsupport::waitUntil([&] { return version->audioSource()->cachedSamplesPath().has_value(); }));
  runFile(audio);
  ASSERT_TRUE(testsupport::waitUntil([&] { return h->vm->audioPlayer().isLoaded(); }));
  EXPECT_EQ(h->vm->audioPlayer().playablePath(), audio);
  EXPECT_TRUE(h->vm->audioPlayer().seeksByLoadersPlaces());
  h->vm->loadTranscription(version);
  ASSERT_TRUE(testsupport::waitUntil([&] { return h->vm->audioPlayer().isLoaded(); }));
  EXPECT_EQ(h->vm->audioPlayer().playablePath(), raw);
  EXPECT_TRUE(h->vm->audioPlayer().seeksByLoadersPlaces());
}

TEST_F(TranscriptionViewModelTest, LoaderErrorsFailTheRunWithTheirDescription) {
  ASSERT_TRUE(h->startModels());
  h->vm->processFile(QUrl::fromLocalFile(h->path("missing.ogg")));
  ASSERT_TRUE(h->settle());
  EXPECT_EQ(h->vm->statusMessage(), "Error: Audio file not found: missing.ogg");
  EXPECT_TRUE(h->logged("Error: Audio file not found: missing.ogg"));
  EXPECT_FALSE(h->vm->isBusy());
}

TEST_F(TranscriptionViewModelTest, WithoutAGroupTheResultIsOnlyShown) {
  rebuild(false, {});
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  EXPECT_EQ(h->vm->currentTranscription(), nullptr);
  EXPECT_EQ(storedRows("AudioSource"), 0);
  EXPECT_TRUE(h->vm->hasCachedSamples());
}

// ---- one run at a time ----------------------------------------------------------------

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

// ---- samples belong to one source ----------------------------------------------------------

// A sample cache whose reads of one source wait at a gate, and whose next write, once asked
// for, waits at another (a disk busy with a build, say).
class HeldCache : public AudioCacheService {
 public:
  using AudioCacheService::AudioCacheService;
  std::optional<std::vector<float>> loadCachedSamples(const QUuid& id) override {
    if (id == heldSource) gate.wait();
    return AudioCacheService::loadCachedSamples(id);
  }
  QString cacheSamples(std::span<const float> samples, const QUuid& id, std::stop_token stop,
                       const voxtrellis::SoundPlaces* places) override {
    if (holdNextWrite.exchange(false)) {
      writeHeld = true;
      writeGate.wait();
    }
    return AudioCacheService::cacheSamples(samples, id, std::move(stop), places);
  }
  QUuid heldSource;
  Gate gate;
  std::atomic_bool holdNextWrite{false};
  std::atomic_bool writeHeld{false};  // the write asked for is at its gate
  Gate writeGate;
};

TEST_F(TranscriptionViewModelTest, ALateSampleReadNeverLandsOnAnotherSource) {
  h.reset();  // a harness going opens every gate there is: the cache's come after it
  auto cache = std::make_shared<HeldCache>(QString::fromStdString(
      (std::filesystem::temp_directory_path() / ("pv-held-" + std::to_string(::getpid()))).string()));
  const auto removeCache = qScopeGuard([&] { std::filesystem::remove_all(cache->cacheDirectory().toStdString()); });
  rebuild(true, cache);
  ASSERT_TRUE(h->startModels());
  const QString other = h->path("other.wav");
  writeFloatWav(other.toStdString(), std::vector<float>(2 * kRate, 0.25f));
  const QString silent = h->path("silent.wav");
  writeFloatWav(silent.toStdString(), std::vector<float>(kRate, 0.0f));
  runFile(audio);
  Transcription* a = h->vm->currentTranscription();
  ASSERT_TRUE(testsupport::waitUntil([&] { return a->audioSource()->cachedSamplesPath().has_value(); }));
  // B's samples are still being written when B is loaded again below: a read of the cache then
  // found no file, and B's version stood without samples.
  cache->holdNextWrite = true;
  runFile(other);
  Transcription* b = h->vm->currentTranscription();
  // B's write is the one held, before C's run begins.
  ASSERT_TRUE(testsupport::waitUntil([&] { return cache->writeHeld.load(); }, 60000));
  runFile(silent);
  Transcription* c = h->vm->currentTranscription();
  ASSERT_TRUE(testsupport::waitUntil([&] { return c->audioSource()->cachedSamplesPath().has_value(); }, 60000));
  QFile::remove(*c->audioSource()->cachedSamplesPath());

  // A's read is held; B is loaded meanwhile and its samples arrive first.
  cache->heldSource = a->audioSource()->id();
  h->vm->loadTranscription(a);
  EXPECT_FALSE(h->vm->hasCachedSamples());  // the previous file's samples are gone at once
  h->vm->loadTranscription(b);
  ASSERT_TRUE(testsupport::waitUntil([&] { return h->vm->hasCachedSamples(); }, 60000));
  EXPECT_FALSE(b->audioSource()->cachedSamplesPath().has_value());
  // So are the places the loader found B's sound at, written after them: the player seeks by
  // them all the same.
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return h->vm->audioPlayer().isLoaded() && h->vm->audioPlayer().playablePath() == other; }, 60000));
  EXPECT_TRUE(h->vm->audioPlayer().seeksByLoadersPlaces());
  cache->writeGate.open();
  ASSERT_TRUE(testsupport::waitUntil([&] { return b->audioSource()->cachedSamplesPath().has_value(); }, 60000));
  cache->gate.open();
  QTest::qWait(100);
  EXPECT_EQ(h->vm->cachedSamples()->size(), std::size_t(2 * kRate));
  EXPECT_EQ(h->vm->cachedSamples()->front(), 0.25f);

  // A source without cached samples leaves none in memory, so nothing is re-processed
  // with another file's audio.
  h->vm->loadTranscription(c);
  QTest::qWait(100);
  EXPECT_FALSE(h->vm->hasCachedSamples());
  h->vm->reprocess();
  EXPECT_TRUE(h->logged("No cached audio to reprocess"));
}

// A sample cache that holds twenty minutes of samples for one source, and tells on which thread
// they are freed. Where they go does not depend on their length; a longer stand-in would only make
// the test slower on a busy machine.
constexpr std::size_t kLongSamples = std::size_t(20 * 60) * kRate;
class LongCache : public AudioCacheService {
 public:
  using AudioCacheService::AudioCacheService;
  std::shared_ptr<const std::vector<float>> loadSharedSamples(const QUuid& id) override {
    if (id != longSource) return AudioCacheService::loadSharedSamples(id);
    return std::shared_ptr<const std::vector<float>>(new std::vector<float>(kLongSamples, 0.25f),
                                                     [freeing = freeing](const std::vector<float>* samples) {
                                                       delete samples;
                                                       const std::lock_guard lock(freeing->mutex);
                                                       freeing->thread = std::this_thread::get_id();
                                                     });
  }
  // The thread that freed the long samples, once one has.
  std::optional<std::thread::id> freedOn() const {
    const std::lock_guard lock(freeing->mutex);
    return freeing->thread;
  }
  QUuid longSource;

 private:
  struct Freeing {
    std::mutex mutex;
    std::optional<std::thread::id> thread;
  };
  const std::shared_ptr<Freeing> freeing = std::make_shared<Freeing>();
};

// Leaving a long file gives its samples back beside the window: freeing three hours' 0.7 GB
// costs the thread that does it 70 ms of processor time or more (bench_player_switching's
// "leave_long_ui_cpu_ms" is what the window's thread spends as it leaves one).
TEST_F(TranscriptionViewModelTest, LeavingALongFileFreesItsSamplesBesideTheWindow) {
  auto cache = std::make_shared<LongCache>(QString::fromStdString(
      (std::filesystem::temp_directory_path() / ("pv-long-" + std::to_string(::getpid()))).string()));
  const auto removeCache = qScopeGuard([&] { std::filesystem::remove_all(cache->cacheDirectory().toStdString()); });
  rebuild(true, cache);
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  Transcription* shortOne = h->vm->currentTranscription();
  const QString other = h->path("other.wav");
  writeFloatWav(other.toStdString(), std::vector<float>(2 * kRate, 0.25f));
  runFile(other);
  Transcription* longOne = h->vm->currentTranscription();
  // Its long samples come from the cache: once its own are written (until then they are taken
  // from memory as they are).
  ASSERT_TRUE(testsupport::waitUntil([&] { return longOne->audioSource()->cachedSamplesPath().has_value(); }));
  cache->longSource = longOne->audioSource()->id();
  h->vm->loadTranscription(shortOne);
  h->vm->loadTranscription(longOne);
  // Bounds far past what the steps take (a second or so at a load of 24 on 8 cores): they only
  // end a test that would otherwise hang.
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return h->vm->hasCachedSamples() && h->vm->cachedSamples()->size() == kLongSamples; }, 120000));

  h->vm->loadTranscription(shortOne);
  EXPECT_FALSE(h->vm->hasCachedSamples());
  ASSERT_TRUE(testsupport::waitUntil([&] { return cache->freedOn().has_value(); }, 120000));
  EXPECT_NE(*cache->freedOn(), std::this_thread::get_id());
}

// ---- playback ---------------------------------------------------------------------------------

// Opening a version loads its audio for playback without holding up the window: the file is
// probed off the UI thread, and nothing of it is decoded ahead of playing.
TEST_F(TranscriptionViewModelTest, OpeningALongCafForPlaybackNeverStallsTheWindow) {
  // Thirty minutes of a low tone in ALAC: quick to make.
  const QString caf = h->path("long.caf");
  QProcess ffmpeg;
  ffmpeg.start("ffmpeg", {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                          "sine=frequency=300:sample_rate=8000:duration=1800", "-c:a", "alac", caf});
  ASSERT_TRUE(ffmpeg.waitForFinished(60000));
  ASSERT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();
  auto* source = new AudioSource(caf, "long.caf", 1800);
  source->setGroup(h->group);
  h->context->insert(source);
  auto* version = new Transcription("Version 1", 1, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 12);
  version->setAudioSource(source);
  h->context->insert(version);
  h->context->updateSegments(version, TranscriptionResult({TranscribedSegment(0, 0, 1800, "a long talk")}, 1800, 1));
  h->context->save();

  testsupport::UiHeartbeat heartbeat;
  h->vm->loadTranscription(version);
  ASSERT_TRUE(testsupport::waitUntil([&] { return h->vm->audioPlayer().isLoaded(); }, 60000));
  // The UI thread's own processor time between two turns of its loop: about a millisecond;
  // decoding the file there would take seconds. (How long a user waits is
  // bench_player_switching's "switch_stall_ms".)
  EXPECT_LT(heartbeat.longestBusyGapMs(), 50.0) << "wall-clock " << heartbeat.longestGapMs() << " ms";
  EXPECT_NEAR(h->vm->audioPlayer().duration(), 1800, 1);
  EXPECT_TRUE(h->logged("Audio loaded for playback"));
}

// A long recording's words are merged into segments beside the window, not on its thread: a
// fifth of a million tokens take the better part of a second to merge.
TEST_F(TranscriptionViewModelTest, MergingALongRecordingsWordsNeverStallsTheWindow) {
  constexpr int kTokens = 200000;
  engine->recognize = [](std::span<const float>) {
    voxtrellis::ASRResult r;
    std::vector<voxtrellis::TokenTiming> tokens(kTokens);
    for (int i = 0; i < kTokens; ++i) {
      tokens[i].token = "a";
      tokens[i].startTime = i * 0.01;
      tokens[i].endTime = i * 0.01 + 0.01;
    }
    r.tokenTimings = std::move(tokens);
    return r;
  };
  engine->diarize = [](std::span<const float>) {
    voxtrellis::DiarizationResult d;
    d.segments.emplace_back("S1", std::vector<float>{}, 0.0f, float(kTokens * 0.01), 1.0f);
    return d;
  };
  ASSERT_TRUE(h->startModels());
  engine->diarizeGate = std::make_shared<Gate>();
  h->vm->processFile(QUrl::fromLocalFile(audio));
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->diarizeGate->hasWaiter(); }, 30000));

  testsupport::UiHeartbeat heartbeat;
  engine->diarizeGate->open();
  ASSERT_TRUE(h->settle());
  // The UI thread's own processor time between two turns of its loop: about 10 ms, up to 50 on a
  // crowded machine (and more on a virtual one: work beside it costs it some); the merge done on
  // it would take 300 to 500 ms. (How long a user waits is bench_pipeline_road's
  // "finish_stall_ms".)
  EXPECT_LT(heartbeat.longestBusyGapMs(), 200.0) << "wall-clock " << heartbeat.longestGapMs() << " ms";
  ASSERT_EQ(h->vm->state().kind(), ProcessingState::Kind::completed);
  // 150 characters a segment, each token one character.
  EXPECT_EQ(h->vm->state().result()->segments.size(), (kTokens + 149) / 150);
  EXPECT_TRUE(h->logged("Diarization returned 1 segments"));
}

// ---- store failures -------------------------------------------------------------------------

// A finished run is never dropped because the store cannot take it. The disk fills up while the
// run goes on (its source is already stored); a later file finds the store refusing before it
// starts.
TEST_F(TranscriptionViewModelTest, ARunWhoseVersionCannotBeStoredIsKeptUnsavedUntilTheStoreTakesIt) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  Transcription* earlier = h->vm->currentTranscription();
  const QString other = h->path("other.wav");
  writeFloatWav(other.toStdString(), twoVoices(3.0, {}));

  // More text than the free room in the file's pages, so that storing it needs a new page.
  static const std::string longWord = " " + std::string(20000, 'x');
  engine->recognize = oneWord(longWord.c_str());
  engine->diarizeGate = std::make_shared<Gate>();
  h->vm->processFile(QUrl::fromLocalFile(other));
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->diarizeGate->hasWaiter(); }));
  ASSERT_TRUE(fillTheDisk(h->context->database()));
  engine->diarizeGate->open();
  ASSERT_TRUE(h->settle());
  EXPECT_TRUE(h->logged("Failed to create transcription: The disk is full"));
  Transcription* kept = h->vm->currentTranscription();
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->audioSource()->filename(), "other.wav");
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  EXPECT_EQ(h->vm->statusMessage(),
            "Transcription complete - not saved yet: The disk is full. Saving is tried again automatically.");
  EXPECT_TRUE(h->vm->hasStatusWarning());
  EXPECT_EQ(storedRows("Transcription"), 1);

  // An edit goes into the kept version, never into the one shown before. Opening that one, a
  // saved version of another file, leaves the work unsaved (quitting asks), but the status line
  // says so only over the file whose work it is; so with no version shown at all.
  const QString edited = "edited while the disk is full " + QString(20000, 'y');
  h->vm->updateSegmentText(0, edited);
  h->vm->loadTranscription(earlier);
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  EXPECT_EQ(h->vm->statusMessage(), "Transcription complete");
  EXPECT_FALSE(h->vm->hasStatusWarning());
  EXPECT_FALSE(h->vm->isShownWorkUnsaved());
  EXPECT_EQ(h->storedTexts(earlier->id()), (QStringList{"hello", "world"}));
  h->vm->loadTranscription(kept);
  EXPECT_TRUE(h->vm->statusMessage().contains("not saved yet: The disk is full"))
      << h->vm->statusMessage().toStdString();
  EXPECT_TRUE(h->vm->isShownWorkUnsaved());
  h->vm->clearResult();
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  EXPECT_FALSE(h->vm->statusMessage().contains("not saved yet")) << h->vm->statusMessage().toStdString();

  // The autosave keeps trying with no version shown. Once there is room again, whichever save
  // comes first writes the kept version, with the edit: here another part of the library's
  // (the samples cache finishing late, a rename in the library) before the autosave's turn.
  h->settings->setAutoSaveInterval(0.05);
  h->vm->setupAutoSave();
  ASSERT_TRUE(testsupport::waitUntil([&] {
    return std::count_if(h->vm->logs().begin(), h->vm->logs().end(),
                         [](const LogEntry& entry) { return entry.message.startsWith("Failed to save: "); }) >= 2;
  }));
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  makeRoomOnTheDisk(h->context->database());
  h->context->save();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h->vm->hasUnsavedChanges(); }));
  h->vm->loadTranscription(kept);
  EXPECT_EQ(storedRows("Transcription"), 2);
  EXPECT_EQ(h->storedTexts(kept->id()), QStringList{edited});
  EXPECT_EQ(h->storedTexts(earlier->id()), (QStringList{"hello", "world"}));
  EXPECT_EQ(h->vm->statusMessage(), "Transcription complete");
  EXPECT_FALSE(h->vm->hasStatusWarning());

  // A file whose source cannot be stored is not transcribed at all, and the status says why.
  const QString third = h->path("third.wav");
  writeFloatWav(third.toStdString(), twoVoices(3.0, {}));
  const int recognitions = engine->recognitions;
  h->context->database().execute("PRAGMA query_only = ON");
  h->vm->processFile(QUrl::fromLocalFile(third));
  ASSERT_TRUE(h->settle());
  EXPECT_EQ(h->vm->state().kind(), ProcessingState::Kind::failed);
  EXPECT_EQ(h->vm->statusMessage(),
            "Error: third.wav could not be added to the library: The library file is read-only");
  EXPECT_TRUE(h->logged("Failed to create audio source: The library file is read-only"));
  EXPECT_EQ(engine->recognitions, recognitions);
  h->context->database().execute("PRAGMA query_only = OFF");
  runFile(third);
  EXPECT_EQ(storedRows("AudioSource"), 3);
  EXPECT_EQ(storedRows("Transcription"), 3);
}

TEST_F(TranscriptionViewModelTest, AReprocessingWhoseSaveFailsSaysSoAndALaterSaveWritesIt) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  Transcription* version = h->vm->currentTranscription();
  engine->recognize = oneWord(" again");
  failSegmentWrites("again");
  h->vm->reprocess();
  ASSERT_TRUE(h->settle());
  EXPECT_TRUE(h->loggedStart("Failed to save: "));
  EXPECT_FALSE(h->logged("Saved reprocessed transcription"));
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  // The status line says why, as it does for a new version that cannot be stored.
  QString why;
  for (const LogEntry& entry : h->vm->logs()) {
    if (entry.message.startsWith("Failed to save: ")) why = entry.message.mid(QString("Failed to save: ").size());
  }
  ASSERT_FALSE(why.isEmpty());
  EXPECT_TRUE(h->vm->statusMessage().endsWith(" - not saved yet: " + why + ". Saving is tried again automatically."))
      << h->vm->statusMessage().toStdString();
  EXPECT_TRUE(h->vm->hasStatusWarning());
  EXPECT_EQ(h->storedTexts(version->id()), (QStringList{"hello", "world"}));
  healDisk();
  h->vm->saveIfNeeded();
  EXPECT_EQ(h->storedTexts(version->id()), QStringList{"again"});
}

TEST_F(TranscriptionViewModelTest, AFailedSaveSaysWhatHappenedInPlainWordsAndTheNextSaveWritesTheEdit) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  Database& file = h->context->database();
  struct Case {
    const char* cause;
    const char* cure;
    QChar fill;
    const char* said;
  };
  // The file may not grow (a full disk), or takes no write at all.
  for (const Case& c : {Case{"PRAGMA max_page_count = 1", "PRAGMA max_page_count = 1073741823", 'x',
                             "Failed to save: The disk is full"},
                        Case{"PRAGMA query_only = ON", "PRAGMA query_only = OFF", 'y',
                             "Failed to save: The library file is read-only"}}) {
    SCOPED_TRACE(c.said);
    const QString longText(20000, c.fill);  // more than fits the pages the file has
    h->vm->updateSegmentText(0, longText);
    file.execute(c.cause);
    h->vm->saveCurrentTranscription();
    EXPECT_TRUE(h->logged(c.said));
    EXPECT_TRUE(h->vm->hasUnsavedChanges());
    for (const LogEntry& entry : h->vm->logs())
      EXPECT_FALSE(entry.message.contains("SQLite") || entry.message.contains("StoredSegment"))
          << entry.message.toStdString();
    file.execute(c.cure);
    h->vm->saveCurrentTranscription();
    EXPECT_FALSE(h->vm->hasUnsavedChanges());
    Statement saved = file.prepare("SELECT text FROM StoredSegment WHERE sortOrder = 0");
    ASSERT_EQ(saved.step(), Statement::Step::row);
    EXPECT_EQ(saved.text(0), longText);
  }
}

TEST_F(TranscriptionViewModelTest, AFailedDuplicateLeavesNothingBehind) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  h->vm->updateSegmentText(0, "boom");
  failSegmentWrites("boom");
  Transcription* original = h->vm->currentTranscription();
  h->vm->duplicateCurrentTranscription(QString("Copy"));
  EXPECT_TRUE(h->loggedStart("Failed to duplicate: "));
  EXPECT_EQ(h->vm->currentTranscription(), original);
  EXPECT_EQ(original->audioSource()->transcriptions().size(), 1);
  healDisk();
  h->vm->updateSegmentText(0, "fine");
  h->vm->saveCurrentTranscription();
  EXPECT_EQ(storedRows("Transcription"), 1);
}

// ---- playback following and the log ---------------------------------------------------------------

TEST_F(TranscriptionViewModelTest, TheHighlightFollowsTheClock) {
  ASSERT_TRUE(h->startModels());
  engine->diarize = [](std::span<const float>) { return voxtrellis::DiarizationResult(); };
  engine->recognize = [](std::span<const float>) {
    voxtrellis::ASRResult r;
    voxtrellis::TokenTiming a;
    a.token = " a";
    a.endTime = 2;
    voxtrellis::TokenTiming b;
    b.token = " b";
    b.startTime = 3;
    b.endTime = 5;
    r.tokenTimings = std::vector{a, b};
    return r;
  };
  h->vm->setMaxSubtitleChars(1);
  runFile(audio);
  const std::vector<std::pair<double, std::optional<qsizetype>>> cases = {
      {1, 0}, {2.5, std::nullopt}, {5, 1}, {4.999, 1}, {0, 0}, {-1, std::nullopt}};
  for (auto [t, expected] : cases) {
    emit h->vm->audioPlayer().currentTimeChanged(t);
    EXPECT_EQ(h->vm->currentSegmentIndex(), expected) << t;
  }
  h->vm->seekToSegment(1);
  EXPECT_EQ(h->vm->audioPlayer().currentTime(), 3.0);
  h->vm->seekToSegment(7);  // out of range: nothing
  EXPECT_EQ(h->vm->audioPlayer().currentTime(), 3.0);
  h->vm->reset();
  EXPECT_TRUE(h->logged("Ready for new file"));
  emit h->vm->audioPlayer().currentTimeChanged(1);
  EXPECT_EQ(h->vm->currentSegmentIndex(), std::nullopt);
}

TEST_F(TranscriptionViewModelTest, TheLogKeepsTheNewestHundredLines) {
  for (int i = 0; i < 101; ++i) h->vm->saveCurrentTranscription();
  ASSERT_EQ(h->vm->logs().size(), 100);
  h->vm->reprocess();
  EXPECT_EQ(h->vm->logs().size(), 100);
  EXPECT_EQ(h->vm->logs().last().message, "No cached audio to reprocess");
  EXPECT_EQ(h->vm->logs().first().message, "Cannot save: missing context, transcription, or result");
}

}  // namespace
