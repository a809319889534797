// The view model's samples, each source's own however late a read of the cache comes and freed
// beside the window, and a long file played or merged without stalling the window.

#include "app/ViewModels/TranscriptionViewModelFixture.h"

#include "Models/Transcription.h"
#include "Services/AudioPlayerService.h"
#include "support/UiHeartbeat.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

using namespace pipelinetest;

namespace {

using namespace transcriptionviewmodeltest;

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

}  // namespace
