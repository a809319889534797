// The road of one file for a 60-minute talk, over the generated test models as the tests run
// them (tiny, so what is measured is mostly everything the application does around the model
// calls: decoding, the sample cache, the merge of its words and speakers, the store, the
// player). Reported as a ratio to loading the file alone, and the peak memory over the
// samples' own size.
//
// Counters: "road_over_load" (wall time of the road / wall time of loading alone),
// "peak_over_samples" (peak resident growth during the road / bytes of the samples).
//
// Through the whole application, as a user meets it, with the longest time the UI thread went
// without serving its event loop (a 10 ms heartbeat on it): a 3-hour CAF of talk imported
// (about 8,800 "segments"), "finish_stall_ms" from the moment its words and speakers are merged
// until its transcript is shown and its audio is in the player ("finish_ms"), "road_stall_ms"
// over the whole road; and twenty 3-minute files added at once, "twenty_stall_ms" until the
// last one is shown and playable ("twenty_s"). The "_own_" stalls leave out the time the UI
// thread stood ready but waited for a processor, which is what a loaded machine adds. The aim: no
// stall over 200 ms while a long file's words are merged, stored and shown ("finish_stall_ms").

#include "App/Application.h"
#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Services/AudioCacheService.h"
#include "Services/AudioEnhancer.h"
#include "Services/AudioPlayerService.h"
#include "Services/AudioProcessor.h"
#include "Services/FileAccessManager.h"
#include "Services/SpeechEngine.h"
#include "Services/YouTubeDownloader.h"
#include "Store/ModelContext.h"
#include "ViewModels/FileDialogs.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Shell/MainWindow.h"
#include "Views/Shell/ProcessingScreens.h"

#include "BenchSupport.h"
#include "QtBenchMain.h"
#include "support/FixturePaths.h"
#include "support/UiHeartbeat.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace parlowvista;
namespace fs = std::filesystem;

constexpr double kSeconds = 3600;

// Talk the generated models hear as words and speakers: voice A (400 Hz) and voice B
// (1600 Hz) take turns of 1.04, 1.2 and 1.44 s, each saying a word every 0.16 s (the
// recogniser's token codes laid over the tones as hop levels, as the tests write them), so a
// 3-hour file becomes about 8,800 segments. Encoded by ffmpeg with `codec` (lossless, so the
// levels survive) into `name` in the bench folder, once.
fs::path talkFile(const std::string& name, double seconds, const std::string& codec) {
  const fs::path file = bench::benchFolder() / name;
  if (fs::exists(file)) return file;
  const std::string partial = file.string() + ".part" + file.extension().string();
  const std::string command = "ffmpeg -nostdin -loglevel error -y -f f32le -ar 16000 -ac 1 -i - " + codec + " '" +
                              partial + "' && mv '" + partial + "' '" + file.string() + "'";
  FILE* pipe = popen(command.c_str(), "w");
  if (!pipe) return {};
  constexpr int kFrame = 1280;  // one encoder frame; a word fills its first three hops
  constexpr int kTurnFrames[] = {13, 15, 18};
  const auto frames = static_cast<long>(seconds * 16000 / kFrame);
  std::vector<float> frame(kFrame);
  long sample = 0;
  int turn = 0;
  int inTurn = 0;
  for (long f = 0; f < frames; ++f) {
    const double tone = turn % 2 ? 1600.0 : 400.0;
    for (int i = 0; i < kFrame; ++i, ++sample)
      frame[i] = 0.15f * static_cast<float>(std::sin(2.0 * M_PI * tone * static_cast<double>(sample) / 16000.0));
    if (inTurn % 2 == 0) {
      const int token = 100 + static_cast<int>(f % 26);
      const float levels[3] = {static_cast<float>(8192 - token) / 10000.0f, 0.1f, 0.8f};
      for (int hop = 0; hop < 3; ++hop)
        for (int i = 0; i < 160; ++i) frame[hop * 160 + i] += levels[hop];
    }
    if (std::fwrite(frame.data(), sizeof(float), frame.size(), pipe) != frame.size()) break;
    if (++inTurn == kTurnFrames[turn % 3]) {
      inTurn = 0;
      ++turn;
    }
  }
  return pclose(pipe) == 0 && fs::exists(file) ? file : fs::path();
}

double residentMiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::stod(line.substr(std::string(key).size())) / 1024.0;
  }
  return 0;
}

void resetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// The generated test models through the real engine, as the tests run them: tiny, but every
// stage runs, so the time between the stages is real.
std::shared_ptr<SpeechEngine> generatedModels() {
  VoxtrellisSpeechEngine::ModelFolders folders;
  folders.recognizer = testsupport::fixturesDir() / "asr" / "parakeet-tdt-0.6b-v3-onnx";
  folders.diarizer = testsupport::fixturesDir() / "diarizer";
  return std::make_shared<VoxtrellisSpeechEngine>(folders);
}

class NoDialogs : public FileDialogs {
  void chooseSaveFile(const QString&, const QString&, std::function<void(const QString&)>) override {}
  void chooseFolder(const QString&, std::function<void(const QString&)>) override {}
};

bool waitUntil(const std::function<bool()>& done) {
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start(2);
  loop.exec();
  return true;
}

double g_loadSeconds = 0;

void BM_LoadOnly(benchmark::State& state) {
  const fs::path file = talkFile("talk-60min.flac", kSeconds, "-c:a flac");
  if (file.empty()) return state.SkipWithError("ffmpeg could not make the file");
  for (auto _ : state) {
    QElapsedTimer clock;
    clock.start();
    const LoadedAudio audio = AudioProcessor().loadAndResample(QString::fromStdString(file.string()));
    g_loadSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    benchmark::DoNotOptimize(audio.samples.data());
  }
}
BENCHMARK(BM_LoadOnly)->Unit(benchmark::kSecond)->Iterations(2);

// A view model over a fresh store with one group, an engine that answers at once and no
// outside tools.
struct Pipeline {
  Pipeline()
      : settings(std::make_unique<QSettings>(dir.filePath("settings.ini"), QSettings::IniFormat),
                 dir.filePath("support")),
        context(dir.filePath("Parlowvista.store")) {
    settings.setAutoSaveInterval(3600);
    group = new TranscriptGroup("Inbox", 0);
    context.insert(group);
    context.save();
    TranscriptionViewModel::Dependencies deps;
    deps.engine = generatedModels();
    deps.sampleCache = std::make_shared<AudioCacheService>(dir.filePath("AudioCache"));
    deps.audioEnhancer = std::make_shared<AudioEnhancer>(std::nullopt);
    deps.youtubeDownloader = new YouTubeDownloader(std::optional<QString>());
    deps.settings = &settings;
    deps.fileAccess = &access;
    deps.dialogs = std::make_shared<NoDialogs>();
    deps.downloadsFolder = dir.filePath("downloads");
    vm = std::make_unique<TranscriptionViewModel>(deps);
    deps.youtubeDownloader->setParent(vm.get());
    vm->setModelContext(&context);
  }

  void startModels() {
    vm->initializeModels();
    waitUntil([&] { return vm->state().kind() == ProcessingState::Kind::modelsReady; });
  }

  QTemporaryDir dir;
  AppSettings settings;
  ModelContext context;
  FileAccessManager access;
  TranscriptGroup* group = nullptr;
  std::unique_ptr<TranscriptionViewModel> vm;
};

void BM_Road(benchmark::State& state) {
  const fs::path file = talkFile("talk-60min.flac", kSeconds, "-c:a flac");
  if (file.empty()) return state.SkipWithError("ffmpeg could not make the file");
  double roadSeconds = 0;
  double peakOver = 0;
  for (auto _ : state) {
    Pipeline pipeline;
    TranscriptionViewModel& vm = *pipeline.vm;
    pipeline.startModels();

    const double baseline = residentMiB("VmRSS:");
    resetPeak();
    QElapsedTimer clock;
    clock.start();
    vm.processFile(QUrl::fromLocalFile(QString::fromStdString(file.string())));
    // The road ends when the version is stored and the background cache write is recorded.
    waitUntil([&] {
      return !vm.isBusy() && vm.currentAudioSource() && vm.currentAudioSource()->cachedSamplesPath().has_value();
    });
    roadSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double samplesMiB = kSeconds * 16000 * 4 / (1024.0 * 1024.0);
    peakOver = (residentMiB("VmHWM:") - baseline) / samplesMiB;
    if (vm.state().kind() != ProcessingState::Kind::completed) state.SkipWithError("the road failed");
  }
  state.counters["road_s"] = roadSeconds;
  state.counters["load_s"] = g_loadSeconds;
  state.counters["road_over_load"] = g_loadSeconds > 0 ? roadSeconds / g_loadSeconds : 0;
  state.counters["peak_over_samples"] = peakOver;
}
BENCHMARK(BM_Road)->Unit(benchmark::kSecond)->Iterations(1);

// The whole application over temporary folders and the generated models, its main window
// shown with the models loaded and the first group selected, as a user meets it.
struct App {
  App() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
    QSettings().clear();
    application = std::make_unique<Application>(Application::Environment(
        dir.filePath("share"), QStringLiteral("com.lanternhollow.bench.%1").arg(QCoreApplication::applicationPid()),
        generatedModels(), dir.filePath("cache/AudioCache")));
    application->appSettings().setHasCompletedOnboarding(true);
    application->appSettings().setAutoSaveInterval(3600);
    application->showMainWindow();
    window().resize(1300, 850);
    waitUntil([&] { return vm().state().kind() == ProcessingState::Kind::modelsReady; });
  }

  MainWindow& window() const { return *application->mainWindow(); }
  TranscriptionViewModel& vm() const { return application->viewModel(); }

  // The file's transcript is on screen and its audio in the player, and nothing runs.
  bool opened(const QString& file) const {
    const AudioSource* source = vm().currentAudioSource();
    return source && source->originalPath() == file && !vm().isBusy() &&
           window().processingScreens()->screen() == ProcessingScreens::Screen::workspace &&
           vm().audioPlayer().isLoaded();
  }

  QTemporaryDir dir;
  std::unique_ptr<Application> application;
};

void BM_LongFileFinishesAndOpens(benchmark::State& state) {
  const fs::path made = talkFile("talk-3h-alac.caf", 3 * 3600, "-c:a alac");
  if (made.empty()) return state.SkipWithError("ffmpeg could not make the file");
  const QString file = QString::fromStdString(made.string());
  for (auto _ : state) {
    App app;
    testsupport::UiHeartbeat road;
    testsupport::UiHeartbeat finish;
    QElapsedTimer finishClock;
    QObject::connect(&app.vm(), &TranscriptionViewModel::stateChanged, [&] {
      if (app.vm().state().stage() == ProcessingStage::merging && !finishClock.isValid()) {
        finish.restart();
        finishClock.start();
      }
    });
    app.window().importFiles({QUrl::fromLocalFile(file)});
    waitUntil([&] { return app.opened(file); });
    state.SetIterationTime(double(finishClock.nsecsElapsed()) / 1e9);
    state.counters["finish_ms"] = double(finishClock.nsecsElapsed()) / 1e6;
    state.counters["finish_stall_ms"] = finish.longestGapMs();
    state.counters["finish_own_stall_ms"] = finish.longestOwnGapMs();
    state.counters["road_stall_ms"] = road.longestGapMs();
    const TranscriptionResult* result = app.vm().state().result();
    state.counters["segments"] = result ? double(result->segments.size()) : 0;
  }
}
BENCHMARK(BM_LongFileFinishesAndOpens)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_TwentyFilesAtOnce(benchmark::State& state) {
  QList<QUrl> files;
  for (int i = 0; i < 20; ++i) {
    const fs::path made = talkFile("talk-" + std::to_string(i) + "-3min.flac", 180 + i, "-c:a flac");
    if (made.empty()) return state.SkipWithError("ffmpeg could not make the files");
    files << QUrl::fromLocalFile(QString::fromStdString(made.string()));
  }
  for (auto _ : state) {
    App app;
    testsupport::UiHeartbeat heartbeat;
    QElapsedTimer clock;
    clock.start();
    app.window().importFiles(files);
    waitUntil([&] { return app.opened(files.last().toLocalFile()); });
    state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
    state.counters["twenty_s"] = double(clock.nsecsElapsed()) / 1e9;
    state.counters["twenty_stall_ms"] = heartbeat.longestGapMs();
    state.counters["twenty_own_stall_ms"] = heartbeat.longestOwnGapMs();
    if (app.application->modelContext().fetch<AudioSource>().size() != 20)
      state.SkipWithError("not every file was stored");
  }
}
BENCHMARK(BM_TwentyFilesAtOnce)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  return bench::runWithQtApplication<QApplication>(argc, argv);
}
