// The host-side cost of the road of one file for a 60-minute recording: everything the
// application does around the model calls (decoding and resampling, the sample cache, the
// merge, the store, the player), with a speech engine that answers at once. Reported as a
// ratio to loading the file alone, and the peak memory over the samples' own size.
//
// Counters: "road_over_load" (wall time of the road / wall time of loading alone),
// "peak_over_samples" (peak resident growth during the road / bytes of the samples).

#include "Models/AppSettings.h"
#include "Models/TranscriptGroup.h"
#include "Services/AudioCacheService.h"
#include "Services/AudioEnhancer.h"
#include "Services/AudioProcessor.h"
#include "Services/FileAccessManager.h"
#include "Services/SpeechEngine.h"
#include "Services/YouTubeDownloader.h"
#include "Store/ModelContext.h"
#include "ViewModels/FileDialogs.h"
#include "ViewModels/TranscriptionViewModel.h"

#include "QtBenchMain.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

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

void BM_Road(benchmark::State& state) {
  const fs::path file = benchFile();
  if (file.empty()) return state.SkipWithError("ffmpeg could not make the file");
  double roadSeconds = 0;
  double peakOver = 0;
  for (auto _ : state) {
    QTemporaryDir dir;
    AppSettings settings(std::make_unique<QSettings>(dir.filePath("settings.ini"), QSettings::IniFormat),
                         dir.filePath("support"));
    ModelContext context(dir.filePath("Parlowvista.store"));
    context.insert(new TranscriptGroup("Inbox", 0));
    context.save();
    FileAccessManager access;
    TranscriptionViewModel::Dependencies deps;
    deps.engine = std::make_shared<InstantEngine>();
    deps.sampleCache = std::make_shared<AudioCacheService>(dir.filePath("AudioCache"));
    deps.audioEnhancer = std::make_shared<AudioEnhancer>(std::nullopt);
    deps.youtubeDownloader = new YouTubeDownloader(std::optional<QString>());
    deps.settings = &settings;
    deps.fileAccess = &access;
    deps.dialogs = std::make_shared<NoDialogs>();
    deps.downloadsFolder = dir.filePath("downloads");
    TranscriptionViewModel vm(deps);
    deps.youtubeDownloader->setParent(&vm);
    vm.setModelContext(&context);
    vm.initializeModels();
    waitUntil([&] { return vm.state().kind() == ProcessingState::Kind::modelsReady; });

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

}  // namespace

int main(int argc, char** argv) {
  return bench::runWithQtApplication<QApplication>(argc, argv);
}
