#pragma once

// Shared pieces of the pipeline tests: audio the generated recognition and diarization
// models answer predictably, float WAV files, a speech engine whose steps a test can hold
// and release, scripted file dialogs, and a view model over a temporary store.

#include "Models/AppSettings.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Models/UuidText.h"
#include "Services/AudioCacheService.h"
#include "Services/AudioEnhancer.h"
#include "Services/FileAccessManager.h"
#include "Services/SpeechEngine.h"
#include "Services/YouTubeDownloader.h"
#include "Store/ModelContext.h"
#include "Store/Statement.h"
#include "ViewModels/FileDialogs.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "support/FixturePaths.h"
#include "support/QtWait.h"
#include "support/TempDir.h"

#include <voxtrellis/WorkStopped.h>

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QProcess>
#include <QSettings>
#include <QThreadPool>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <stop_token>

namespace pipelinetest {

using namespace parlowvista;

constexpr int kRate = 16000;

// One word the test recogniser reads: a token id at an encoder frame (1280 samples).
struct Word {
  int frame;
  int token;
};

// Audio both test models understand: voice A (400 Hz) then voice B (1600 Hz), each half of
// `seconds`, with the recogniser's token codes laid over them as hop levels (the tones
// average out within every 160-sample hop, the levels are orthogonal to the tones).
// Default words: "hello" while A speaks, "world" while B speaks.
inline std::vector<float> twoVoices(double seconds = 14.0, std::vector<Word> words = {{20, 5}, {21, 6}, {110, 7}}) {
  const auto n = static_cast<std::size_t>(seconds * kRate);
  std::vector<float> audio(n, 0.0f);
  for (const Word& w : words) {
    const std::size_t base = static_cast<std::size_t>(w.frame) * 1280;
    const float levels[3] = {static_cast<float>(8192 - w.token) / 10000.0f, 0.1f, 0.8f};
    for (int hop = 0; hop < 3; ++hop) {
      for (std::size_t i = 0; i < 160 && base + hop * 160 + i < n; ++i) audio[base + hop * 160 + i] = levels[hop];
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double f = i < n / 2 ? 400.0 : 1600.0;
    audio[i] += 0.15f * static_cast<float>(std::sin(2.0 * M_PI * f * static_cast<double>(i) / kRate));
  }
  return audio;
}

// A 32-bit float mono WAV file.
inline void writeFloatWav(const std::filesystem::path& path, const std::vector<float>& samples, int rate = kRate,
                          int channels = 1) {
  std::ofstream out(path, std::ios::binary);
  const auto put32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  const auto put16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t bytes = static_cast<uint32_t>(samples.size() * 4);
  out.write("RIFF", 4);
  put32(36 + bytes);
  out.write("WAVEfmt ", 8);
  put32(16);
  put16(3);
  put16(static_cast<uint16_t>(channels));
  put32(static_cast<uint32_t>(rate));
  put32(static_cast<uint32_t>(rate * channels * 4));
  put16(static_cast<uint16_t>(channels * 4));
  put16(32);
  out.write("data", 4);
  put32(bytes);
  out.write(reinterpret_cast<const char*>(samples.data()), bytes);
}

// A name the enhancer gives its files, as the process `pid` would: "parlowvista-<pid>-", then
// `kind` ("preview_", "preview_original_" or nothing), a fresh UUID, ".wav".
inline QString enhancerFileName(qint64 pid, const QString& kind = {}) {
  return QStringLiteral("parlowvista-%1-%2%3.wav").arg(pid).arg(kind, uuidText(QUuid::createUuid()));
}

// Runs the real ffmpeg; true when it exits with 0.
inline bool ffmpeg(const QStringList& arguments) {
  QProcess process;
  process.start("ffmpeg", QStringList{"-hide_banner", "-loglevel", "error", "-y"} + arguments);
  return process.waitForFinished(testsupport::waitBound(60000)) && process.exitStatus() == QProcess::NormalExit &&
         process.exitCode() == 0;
}

// A gate a worker thread waits at until the test opens it. Every gate also opens when it is
// destroyed and when the test's Harness goes (openAll), so a test that fails before opening
// one never leaves a worker blocked: that would hold a pool thread for the rest of the run
// and keep the binary from exiting.
class Gate {
 public:
  Gate() {
    std::lock_guard lock(registryMutex());
    registry().insert(this);
  }
  ~Gate() {
    open();
    std::lock_guard lock(registryMutex());
    registry().erase(this);
  }
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  void wait() {
    std::unique_lock lock(m_mutex);
    ++m_waiting;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_open; });
  }
  void open() {
    std::lock_guard lock(m_mutex);
    m_open = true;
    m_changed.notify_all();
  }
  bool hasWaiter() {
    std::lock_guard lock(m_mutex);
    return m_waiting > 0;
  }

  // Opens every gate there is.
  static void openAll() {
    std::lock_guard lock(registryMutex());
    for (Gate* gate : registry()) gate->open();
  }

 private:
  static std::set<Gate*>& registry() {
    static std::set<Gate*> gates;
    return gates;
  }
  static std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_open = false;
  int m_waiting = 0;
};

// A worker held as a long step is when the application's stop finds it under way: until the
// stop it was given is asked for. A stop that never comes (one the step was not given) ends the
// hold only after `bound`, counted in `outlasted`, so the test that looks fails rather than hangs.
class StopHold {
 public:
  // True when the stop ended the hold.
  bool hold(const std::stop_token& stop, std::chrono::seconds bound = std::chrono::seconds(30)) {
    ++held;
    std::mutex mutex;
    std::unique_lock lock(mutex);
    std::condition_variable_any().wait_for(lock, stop, bound, [] { return false; });
    const bool stopped = stop.stop_requested();
    ++(stopped ? this->stopped : outlasted);
    return stopped;
  }

  std::atomic<int> held{0};
  std::atomic<int> stopped{0};
  std::atomic<int> outlasted{0};
};

// A speech engine with scripted answers. Each step may be held at a gate, recognition also
// until its stop.
class FakeEngine : public SpeechEngine {
 public:
  std::function<voxtrellis::ASRResult(std::span<const float>)> recognize = [](std::span<const float> samples) {
    voxtrellis::ASRResult r;
    r.text = "hello world";
    voxtrellis::TokenTiming a;
    a.token = " hello";
    a.startTime = 0.5;
    a.endTime = 0.9;
    voxtrellis::TokenTiming b;
    b.token = " world";
    b.startTime = 2.0;
    b.endTime = 2.4;
    r.tokenTimings = std::vector{a, b};
    r.duration = static_cast<double>(samples.size()) / kRate;
    return r;
  };
  std::function<voxtrellis::DiarizationResult(std::span<const float>)> diarize = [](std::span<const float>) {
    voxtrellis::DiarizationResult d;
    d.segments.emplace_back("S1", std::vector<float>{}, 0.0f, 1.5f, 1.0f);
    d.segments.emplace_back("S2", std::vector<float>{}, 1.5f, 3.0f, 1.0f);
    return d;
  };
  std::shared_ptr<Gate> recognizeGate;
  std::shared_ptr<StopHold> recognizeHold;
  std::shared_ptr<Gate> diarizeGate;
  std::shared_ptr<Gate> prepareGate;
  std::atomic<int> preparedDiarizers{0};
  std::atomic<int> recognitions{0};
  bool failDiarizer = false;
  std::string diarizerFailure = "diarizer models missing";  // what a failing diarizer says

  std::shared_ptr<SpeechRecognizer> loadRecognizer(const std::function<void()>& modelsLoaded,
                                                   std::stop_token) override {
    if (modelsLoaded) modelsLoaded();
    return std::make_shared<Recognizer>(this);
  }
  std::shared_ptr<SpeakerDiarizer> prepareDiarizer(const voxtrellis::OfflineDiarizerConfig& config,
                                                   std::stop_token) override {
    if (prepareGate) prepareGate->wait();
    if (failDiarizer) throw std::runtime_error(diarizerFailure);
    lastConfig = config;
    ++preparedDiarizers;
    return std::make_shared<Diarizer>(this);
  }
  voxtrellis::OfflineDiarizerConfig lastConfig;

 private:
  struct Recognizer : SpeechRecognizer {
    explicit Recognizer(FakeEngine* e) : engine(e) {}
    voxtrellis::ASRResult transcribe(std::span<const float> samples, const StepProgress&,
                                     std::stop_token stop) override {
      ++engine->recognitions;
      if (auto gate = engine->recognizeGate) gate->wait();
      if (auto hold = engine->recognizeHold; hold && hold->hold(stop)) throw voxtrellis::WorkStopped("Recognition");
      return engine->recognize(samples);
    }
    FakeEngine* engine;
  };
  struct Diarizer : SpeakerDiarizer {
    explicit Diarizer(FakeEngine* e) : engine(e) {}
    voxtrellis::DiarizationResult process(std::span<const float> samples, const StepProgress&,
                                          std::stop_token) override {
      if (auto gate = engine->diarizeGate) gate->wait();
      return engine->diarize(samples);
    }
    FakeEngine* engine;
  };
};

// The generated test models through the real engine.
inline std::shared_ptr<SpeechEngine> fixtureEngine() {
  VoxtrellisSpeechEngine::ModelFolders folders;
  folders.recognizer = testsupport::fixturesDir() / "asr" / "parakeet-tdt-0.6b-v3-onnx";
  folders.diarizer = testsupport::fixturesDir() / "diarizer";
  return std::make_shared<VoxtrellisSpeechEngine>(folders);
}

// File panels answered by the test: the next path to choose, or nothing (cancel).
class ScriptedDialogs : public FileDialogs {
 public:
  std::optional<QString> nextPath;
  QStringList suggested;
  void chooseSaveFile(const QString& suggestedName, const QString&,
                      std::function<void(const QString&)> chosen) override {
    suggested << suggestedName;
    if (nextPath) chosen(*nextPath);
  }
  void chooseFolder(const QString&, std::function<void(const QString&)> chosen) override {
    if (nextPath) chosen(*nextPath);
  }
};

// A version's segment texts as the file holds them, read through the store's own connection.
inline QStringList storedTexts(ModelContext& context, const QUuid& version) {
  Statement rows =
      context.database().prepare("SELECT text FROM StoredSegment WHERE transcription = ? ORDER BY sortOrder");
  rows.bind(1, version);
  QStringList out;
  while (rows.step() == Statement::Step::row) out << rows.text(0);
  return out;
}

// A disk that takes nothing more: the store's file may not grow past the pages it holds now.
// False when SQLite did not say how many that is.
inline bool fillTheDisk(Database& database) {
  Statement pages = database.prepare("PRAGMA page_count");
  if (pages.step() != Statement::Step::row) return false;
  database.execute(("PRAGMA max_page_count = " + std::to_string(pages.int64(0))).c_str());
  return true;
}

// Room on the disk again after fillTheDisk().
inline void makeRoomOnTheDisk(Database& database) {
  database.execute("PRAGMA max_page_count = 1073741823");
}

// A stored translation of `version` into `code` (also its name) whose every segment reads `text`.
inline Transcription* storeTranslation(ModelContext& context, Transcription* version, const QString& code,
                                       const QString& text) {
  auto* translation = new Transcription(code, 0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 12);
  translation->setIsTranslation(true);
  translation->setTargetLanguage(code);
  translation->setSourceTranscription(version);
  translation->setAudioSource(version->audioSource());
  context.insert(translation);
  TranscriptionResult result = version->toResult();
  for (auto& segment : result.segments) segment.text = text;
  context.updateSegments(translation, result);
  context.save();
  return translation;
}

// A view model over a store, settings, sample cache and folders in a temporary folder.
struct Harness {
  explicit Harness(std::shared_ptr<SpeechEngine> engine = std::make_shared<FakeEngine>(), bool withGroup = true,
                   std::shared_ptr<SampleCache> cache = {}, TranslationService* translation = nullptr,
                   std::optional<QString> ffmpegPath = AudioEnhancer::findFFmpeg()) {
    settings = std::make_unique<AppSettings>(std::make_unique<QSettings>(path("settings.ini"), QSettings::IniFormat),
                                             path("support"));
    settings->setAutoSaveInterval(3600);
    context = std::make_unique<ModelContext>(path("Parlowvista.store"));
    if (withGroup) {
      group = new TranscriptGroup("Inbox", 0);
      context->insert(group);
      context->save();
    }
    sampleCache = cache ? cache : std::make_shared<AudioCacheService>(path("AudioCache"));
    dialogs = std::make_shared<ScriptedDialogs>();
    TranscriptionViewModel::Dependencies deps;
    deps.engine = engine;
    deps.sampleCache = sampleCache;
    deps.audioEnhancer = std::make_shared<AudioEnhancer>(ffmpegPath, path("tmp"));
    deps.youtubeDownloader = downloader = new YouTubeDownloader(YouTubeDownloader::findYtDlpSync());
    deps.settings = settings.get();
    deps.fileAccess = &fileAccess;
    deps.dialogs = dialogs;
    deps.translationService = translation;
    deps.downloadsFolder = path("downloads");
    deps.temporaryFolder = path("tmp");
    QDir().mkpath(path("tmp"));
    vm = std::make_unique<TranscriptionViewModel>(deps);
    vm->setModelContext(context.get());
    downloader->setParent(vm.get());
    // QSettings writes its file (two flushes to disk) at the next turn of the event loop: let
    // that be now, not inside whatever a test then measures on the UI thread.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
  }

  // Lets every worker still held at a gate go; the view model then waits for its jobs as it is
  // destroyed, before the engine they use.
  ~Harness() { Gate::openAll(); }
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  QString path(const QString& name) const { return QString::fromStdString((dir.path() / name.toStdString()).string()); }

  bool startModels() {
    vm->initializeModels();
    return testsupport::waitUntil([&] { return vm->state().kind() != ProcessingState::Kind::loadingModels; }, 30000) &&
           vm->state().kind() == ProcessingState::Kind::modelsReady;
  }
  // Turns enhancement on, with its default settings, and waits for the enhancer to have found
  // ffmpeg: false when it has not.
  bool turnOnEnhancement() {
    AudioEnhancementSettings on;
    on.enabled = true;
    vm->setAudioEnhancement(on);
    return vm->isEnhancerAvailable() || testsupport::waitUntil([&] { return vm->isEnhancerAvailable(); });
  }
  // Waits until no road runs and the state is no longer `processing`.
  bool settle(int timeoutMs = 60000) {
    return testsupport::waitUntil(
        [&] { return !vm->isBusy() && vm->state().kind() != ProcessingState::Kind::processing; }, timeoutMs);
  }
  bool logged(const QString& message) const {
    for (const auto& entry : vm->logs()) {
      if (entry.message == message) return true;
    }
    return false;
  }
  bool loggedStart(const QString& prefix) const {
    for (const auto& entry : vm->logs()) {
      if (entry.message.startsWith(prefix)) return true;
    }
    return false;
  }

  QStringList storedTexts(const QUuid& version) const { return pipelinetest::storedTexts(*context, version); }

  testsupport::TempDir dir{"pv-pipeline"};
  FileAccessManager fileAccess;
  std::unique_ptr<AppSettings> settings;
  std::unique_ptr<ModelContext> context;
  std::shared_ptr<SampleCache> sampleCache;
  std::shared_ptr<ScriptedDialogs> dialogs;
  YouTubeDownloader* downloader = nullptr;
  TranscriptGroup* group = nullptr;
  std::unique_ptr<TranscriptionViewModel> vm;
};

}  // namespace pipelinetest
