// The host-side cost of the road of one file for a 60-minute recording: everything the
// application does around the model calls (decoding and resampling, the sample cache, the
// merge, the store, the player), with a speech engine that answers at once. Reported as a
// ratio to loading the file alone, and the peak memory over the samples' own size.
//
// Counters: "road_over_load" (wall time of the road / wall time of loading alone),
// "peak_over_samples" (peak resident growth during the road / bytes of the samples).
//
// Through the main window, as a user meets it, with the longest time the UI thread went without
// serving its event loop (a 10 ms heartbeat on it): a 3-hour CAF imported, "finish_stall_ms"
// from the moment its recognised words and speakers are merged until its transcript is shown
// and its audio is in the player ("finish_ms"), "road_stall_ms" over the whole road; and twenty
// files added at once, "twenty_stall_ms" until the last one is shown and playable
// ("twenty_s"). The "_own_" stalls leave out the time the UI thread stood ready but waited for a
// processor, which is what a loaded machine adds.

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Services/AudioCacheService.h"
#include "Services/AudioEnhancer.h"
#include "Services/AudioPlayerService.h"
#include "Services/AudioProcessor.h"
#include "Services/FileAccessManager.h"
#include "Services/LibraryActions.h"
#include "Services/LocalHTTPServer.h"
#include "Services/SpeechEngine.h"
#include "Services/YouTubeDownloader.h"
#include "Store/ModelContext.h"
#include "ViewModels/FileDialogs.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Player/YouTubePlayerView.h"
#include "Views/Shell/MainWindow.h"
#include "Views/Shell/ProcessingScreens.h"

#include "BenchSupport.h"
#include "QtBenchMain.h"
#include "support/UiHeartbeat.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebEngineProfile>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace parlowvista;
namespace fs = std::filesystem;

constexpr double kSeconds = 3600;

fs::path benchFile() {
  const char* tmp = std::getenv("TMPDIR");
  const fs::path folder = fs::path(tmp && *tmp ? tmp : "/tmp") / "voxtrellis-bench";
  fs::create_directories(folder);
  const fs::path file = folder / "road-60min-44k-stereo.flac";
  if (!fs::exists(file)) {
    const std::string partial = file.string() + ".part.flac";
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i 'sine=f=440:d=3600:sample_rate=44100' -ac 2 '" + partial +
        "' && mv '" + partial + "' '" + file.string() + "'";
    if (std::system(command.c_str()) != 0) return {};
  }
  return file;
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

// One word every 0.4 s, a speaker turn every 10 s.
class InstantEngine : public SpeechEngine {
 public:
  std::shared_ptr<SpeechRecognizer> loadRecognizer(const std::function<void()>& loaded) override {
    if (loaded) loaded();
    struct R : SpeechRecognizer {
      voxtrellis::ASRResult transcribe(std::span<const float> samples, const StepProgress&) override {
        voxtrellis::ASRResult r;
        std::vector<voxtrellis::TokenTiming> tokens;
        const double seconds = static_cast<double>(samples.size()) / 16000.0;
        for (double t = 0; t + 0.4 <= seconds; t += 0.4) {
          voxtrellis::TokenTiming token;
          token.token = " word";
          token.startTime = t;
          token.endTime = t + 0.3;
          tokens.push_back(token);
        }
        r.tokenTimings = std::move(tokens);
        return r;
      }
    };
    return std::make_shared<R>();
  }
  std::shared_ptr<SpeakerDiarizer> prepareDiarizer(const voxtrellis::OfflineDiarizerConfig&) override {
    struct D : SpeakerDiarizer {
      voxtrellis::DiarizationResult process(std::span<const float> samples, const StepProgress&) override {
        voxtrellis::DiarizationResult d;
        const double seconds = static_cast<double>(samples.size()) / 16000.0;
        for (int i = 0; i * 10.0 < seconds; ++i) {
          d.segments.emplace_back(i % 2 ? "S2" : "S1", std::vector<float>{}, float(i * 10.0), float(i * 10.0 + 10.0),
                                  1.0f);
        }
        return d;
      }
    };
    return std::make_shared<D>();
  }
};

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
  const fs::path file = benchFile();
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
    deps.engine = std::make_shared<InstantEngine>();
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
  const fs::path file = benchFile();
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

// The main window over a Pipeline, shown with its models loaded and the group selected.
struct Window {
  Window()
      : actions(pipeline.context, pipeline.settings, pipeline.access,
                {pipeline.dir.filePath("downloads"), pipeline.dir.filePath("AudioCache")}) {
    MainWindow::Actions windowActions;
    windowActions.playerPageHost = [] {
      // The player pages' server and web profile, made when an online video first asks.
      static auto* server = new LocalHTTPServer(qApp);
      static QWebEngineProfile* profile = YouTubePlayerView::createPlayerProfile(qApp);
      return PlayerPageHost{*server, *profile};
    };
    LibraryPrompts prompts;
    prompts.confirmDelete = [](QWidget*, const QString&, const QString&) { return false; };
    window = std::make_unique<MainWindow>(*pipeline.vm, pipeline.context,
                                          MainWindow::Library{pipeline.settings, pipeline.access, actions, prompts},
                                          std::move(windowActions));
    window->setSelectedGroup(pipeline.group);
    window->resize(1300, 850);
    window->show();
    waitUntil([&] { return pipeline.vm->state().kind() == ProcessingState::Kind::modelsReady; });
  }

  // The file's transcript is on screen and its audio in the player, and nothing runs.
  bool opened(const QString& file) const {
    const AudioSource* source = pipeline.vm->currentAudioSource();
    return source && source->originalPath() == file && !pipeline.vm->isBusy() &&
           window->processingScreens()->screen() == ProcessingScreens::Screen::workspace &&
           pipeline.vm->audioPlayer().isLoaded();
  }

  Pipeline pipeline;
  LibraryActions actions;
  std::unique_ptr<MainWindow> window;
};

void BM_LongFileFinishesAndOpens(benchmark::State& state) {
  const fs::path made =
      bench::ffmpegMadeFile("road-3h-8k-alac.caf", "-f lavfi -i 'sine=f=300:d=10800:sample_rate=8000' -c:a alac");
  if (made.empty()) return state.SkipWithError("ffmpeg could not make the file");
  const QString file = QString::fromStdString(made.string());
  for (auto _ : state) {
    Window app;
    testsupport::UiHeartbeat road;
    testsupport::UiHeartbeat finish;
    QElapsedTimer finishClock;
    QObject::connect(app.pipeline.vm.get(), &TranscriptionViewModel::stateChanged, [&] {
      if (app.pipeline.vm->state().stage() == ProcessingStage::merging && !finishClock.isValid()) {
        finish.restart();
        finishClock.start();
      }
    });
    app.window->importFiles({QUrl::fromLocalFile(file)});
    waitUntil([&] { return app.opened(file); });
    state.SetIterationTime(double(finishClock.nsecsElapsed()) / 1e9);
    state.counters["finish_ms"] = double(finishClock.nsecsElapsed()) / 1e6;
    state.counters["finish_stall_ms"] = finish.longestGapMs();
    state.counters["finish_own_stall_ms"] = finish.longestOwnGapMs();
    state.counters["road_stall_ms"] = road.longestGapMs();
  }
}
BENCHMARK(BM_LongFileFinishesAndOpens)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_TwentyFilesAtOnce(benchmark::State& state) {
  QList<QUrl> files;
  for (int i = 0; i < 20; ++i) {
    const fs::path made =
        bench::ffmpegMadeFile("talk-" + std::to_string(i) + "-3min.mp3",
                              "-f lavfi -i 'sine=f=" + std::to_string(200 + 10 * i) + ":d=180:sample_rate=16000'");
    if (made.empty()) return state.SkipWithError("ffmpeg could not make the files");
    files << QUrl::fromLocalFile(QString::fromStdString(made.string()));
  }
  for (auto _ : state) {
    Window app;
    testsupport::UiHeartbeat heartbeat;
    QElapsedTimer clock;
    clock.start();
    app.window->importFiles(files);
    waitUntil([&] { return app.opened(files.last().toLocalFile()); });
    state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
    state.counters["twenty_s"] = double(clock.nsecsElapsed()) / 1e9;
    state.counters["twenty_stall_ms"] = heartbeat.longestGapMs();
    state.counters["twenty_own_stall_ms"] = heartbeat.longestOwnGapMs();
    if (app.pipeline.context.fetch<AudioSource>().size() != 20) state.SkipWithError("not every file was stored");
  }
}
BENCHMARK(BM_TwentyFilesAtOnce)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  return bench::runWithQtApplication<QApplication>(argc, argv);
}
