// The view model's state, start-up and a file's run from its start to its stored, shown and
// played version, with a scripted engine; the highlight that follows playback, and the log.

#include "app/ViewModels/TranscriptionViewModelFixture.h"

#include "Models/Transcription.h"
#include "Services/AudioPlayerService.h"
#include "engine/Shared/AudioTestFiles.h"

#include <QThreadPool>
#include <QTimer>

#include <optional>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

using namespace pipelinetest;

namespace {

using namespace transcriptionviewmodeltest;

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
