// Memory of the running application around the road of one long file (the argument: its
// minutes, 60), over the generated models: the main window shown (offscreen), the file
// processed by the view model the window drives until its version is stored and shown, its
// audio is in the player and its samples are in the cache; then the application left idle 2 s.
//
// The file is 16 kHz mono float WAV made once in the benchmark folder: a word the generated
// recogniser reads every 0.48 s, and two tone "voices" taking turns every 30 s (the tones
// average out within the recogniser's hops, so they do not change the words).
//
// Counters (MiB, from /proc/self/status):
//   before_MiB        resident before the run (models loaded, window shown)
//   peak_MiB          the highest resident size during the run (VmHWM)
//   idle_MiB          resident once the run is over and the application has been idle 2 s
//   samples_MiB       the run's samples as float (16 kHz mono)
//   idle_over_samples (idle - before) / samples: what the idle application still holds. The
//                     samples themselves stay (re-processing and re-transcription read them),
//                     so 1 plus the runtime's own share, which does not grow with the file.
//   peak_over_samples (peak - before) / samples
#include "App/Application.h"
#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Services/AudioPlayerService.h"
#include "Services/SpeechEngine.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "engine/ASR/AsrTestSupport.h"

#include "BenchSupport.h"
#include "QtBenchMain.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>

#include <cmath>
#include <fstream>

namespace {

using namespace parlowvista;
namespace fs = std::filesystem;

constexpr int kRate = 16000;

// A file of `minutes`, written once (through a side file renamed at the end).
fs::path speechFile(int minutes) {
  const fs::path file = bench::benchFolder() / ("road-memory-" + std::to_string(minutes) + "min-16k.wav");
  if (fs::exists(file)) return file;
  const std::size_t samples = std::size_t(minutes) * 60 * kRate;
  std::vector<asrtest::FrameDecision> words;
  for (int f = 3, k = 0; f < int(samples / 1280) - 8; f += 6, ++k) words.push_back({f, 100 + (k % 26), 1 + (k % 4)});
  std::vector<float> audio = asrtest::renderSpeech(words, samples);
  for (std::size_t i = 0; i < samples; ++i) {
    const double frequency = (i / (30 * kRate)) % 2 ? 1600.0 : 400.0;
    audio[i] += 0.15f * float(std::sin(2.0 * M_PI * frequency * double(i) / kRate));
  }
  const fs::path partial = file.string() + ".part";
  {
    std::ofstream out(partial, std::ios::binary);
    const auto put32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto put16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto bytes = uint32_t(audio.size() * 4);
    out.write("RIFF", 4);
    put32(36 + bytes);
    out.write("WAVEfmt ", 8);
    put32(16);
    put16(3);  // IEEE float
    put16(1);
    put32(kRate);
    put32(kRate * 4);
    put16(4);
    put16(32);
    out.write("data", 4);
    put32(bytes);
    out.write(reinterpret_cast<const char*>(audio.data()), bytes);
    if (!out) return {};
  }
  fs::rename(partial, file);
  return file;
}

void runEventsFor(int milliseconds) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < milliseconds) QApplication::processEvents(QEventLoop::AllEvents, 5);
}

bool runEventsUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

void BM_RunMemory(benchmark::State& state) {
  const int minutes = int(state.range(0));
  const fs::path file = speechFile(minutes);
  if (file.empty()) return state.SkipWithError("the audio file could not be written");
  const QString path = QString::fromStdString(file.string());
  double before = 0;
  double peak = 0;
  double idle = 0;
  for (auto _ : state) {
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
    VoxtrellisSpeechEngine::ModelFolders folders;
    folders.recognizer = fs::path(PV_FIXTURES_DIR) / "asr" / "parakeet-tdt-0.6b-v3-onnx";
    folders.diarizer = fs::path(PV_FIXTURES_DIR) / "diarizer";
    Application application(Application::Environment{dir.filePath("share"), "com.lanternhollow.bench",
                                                     std::make_shared<VoxtrellisSpeechEngine>(folders)});
    application.appSettings().setHasCompletedOnboarding(true);
    application.appSettings().setAutoSaveInterval(3600);
    Application::ensureDefaultGroup(application.modelContext(), application.appSettings());
    application.showMainWindow();
    TranscriptionViewModel& vm = application.viewModel();
    if (!runEventsUntil([&] { return vm.state().kind() == ProcessingState::Kind::modelsReady; }, 60000))
      return state.SkipWithError("the models did not load");
    runEventsFor(1000);

    before = bench::currentMiB();
    bench::resetPeak();
    vm.processFile(QUrl::fromLocalFile(path));
    const bool done = runEventsUntil(
        [&] {
          const AudioSource* source = vm.currentAudioSource();
          return !vm.isBusy() && vm.state().kind() != ProcessingState::Kind::processing && vm.currentTranscription() &&
                 source && source->cachedSamplesPath() && vm.audioPlayer().isLoaded();
        },
        30 * 60 * 1000);
    if (!done || vm.state().kind() != ProcessingState::Kind::completed) {
      const std::string why = "the run did not end in a stored version: " + vm.statusMessage().toStdString();
      return state.SkipWithError(why.c_str());
    }
    runEventsFor(2000);
    peak = bench::peakMiB();
    idle = bench::currentMiB();
    state.counters["segments"] = double(vm.state().result()->segments.size());
  }
  const double samples = double(minutes) * 60 * kRate * sizeof(float) / (1024.0 * 1024.0);
  state.counters["before_MiB"] = before;
  state.counters["peak_MiB"] = peak;
  state.counters["idle_MiB"] = idle;
  state.counters["samples_MiB"] = samples;
  state.counters["idle_over_samples"] = (idle - before) / samples;
  state.counters["peak_over_samples"] = (peak - before) / samples;
}
BENCHMARK(BM_RunMemory)->Arg(60)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  return bench::runWithQtApplication<QApplication>(argc, argv);
}
