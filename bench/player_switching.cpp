// Leaving a file for another, as a user does in the library, on the real Application: the
// longest time the UI thread went without serving its event loop (a 10 ms heartbeat on it), from
// the choice of the other version until it is shown and in the player and the one left is let
// go. Every version's samples are in the sample cache, as after its run, and are read back when
// it is opened. "_own_" figures leave out the time the UI thread stood ready but waited for a
// processor (what a loaded machine adds); "load" is the machine's load average meanwhile.
//
// BM_LeaveLongCaf: a 3-hour CAF (44.1 kHz stereo ALAC, 8,850 segments, 0.7 GB of samples) left
// for a 60-minute file: "leave_own_stall_ms" (the longest of the iterations), "leave_stall_ms".
//
// BM_LeaveLongCafForShortFile: the 3-hour CAF left for a 10-second file: "leave_long_ui_cpu_ms",
// the processor time the UI thread spent from the choice until the short file is shown and 200 ms
// more (the longest of the iterations), "leave_long_ui_cpu_median_ms". Its samples are freed on
// another thread; a large unmapping still costs every thread of the process some (more on a
// virtual machine).
//
// BM_SwitchWhilePlaying: two 60-minute files, an MP3 and a CAF (2,950 segments each), each
// played when shown and left while it plays: "switch_own_stall_ms" (the longest switch), "switch_own_median_ms",
// "switch_stall_ms". The aim: no stall over 100 ms while a long file is opened for playback.
//
// BM_LongCafPlaybackMemory: the 3-hour CAF loaded into a player of its own and played for two
// seconds: "resident_mib" (growth of the resident size), "peak_mib" (growth of its peak) and
// "scratch_mib" (what the player wrote into the temporary folder meanwhile). Where the machine
// has an audio output the sound is decoded for it as it plays.

#include "App/Application.h"
#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Services/AudioCacheService.h"
#include "Services/AudioPlayerService.h"
#include "Services/SpeechEngine.h"
#include "Store/ModelContext.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Library/LibrarySelection.h"
#include "Views/Shell/MainWindow.h"
#include "Views/Shell/ProcessingScreens.h"

#include "BenchSupport.h"
#include "QtBenchMain.h"
#include "support/UiHeartbeat.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <time.h>

namespace {

using namespace parlowvista;
namespace fs = std::filesystem;

constexpr int kSampleRate = 16000;

fs::path longCaf() {
  return bench::ffmpegMadeFile("player-3h-44k-stereo-alac.caf",
                               "-f lavfi -i 'sine=f=220:d=10800:sample_rate=44100' -ac 2 -c:a alac");
}
fs::path hourMp3() {
  return bench::ffmpegMadeFile("player-60min-a.mp3",
                               "-f lavfi -i 'sine=f=330:d=3600:sample_rate=44100' -ac 2 -b:a 128k");
}
fs::path hourCaf() {
  return bench::ffmpegMadeFile("player-60min-44k-stereo-alac.caf",
                               "-f lavfi -i 'sine=f=440:d=3600:sample_rate=44100' -ac 2 -c:a alac");
}

double loadAverage() {
  std::ifstream file("/proc/loadavg");
  double load = 0;
  file >> load;
  return load;
}

// Runs the event loop until `done` (asked every 2 ms) or `timeoutMs` pass.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 600000) {
  QElapsedTimer clock;
  clock.start();
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done() || clock.elapsed() > timeoutMs) loop.quit();
  });
  poll.start(2);
  if (!done()) loop.exec();
  return done();
}

// The application over a library in a temporary folder, its engine over the generated models,
// with one version for each file given.
struct Library {
  struct File {
    fs::path path;
    double seconds;
  };

  explicit Library(const std::vector<File>& files) {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
    VoxtrellisSpeechEngine::ModelFolders models;
    const fs::path fixtures = PV_FIXTURES_DIR;
    models.recognizer = fixtures / "asr" / "parakeet-tdt-0.6b-v3-onnx";
    models.diarizer = fixtures / "diarizer";
    application = std::make_unique<Application>(
        Application::Environment(dir.filePath("support"), QStringLiteral("com.lanternhollow.bench.player"),
                                 std::make_shared<VoxtrellisSpeechEngine>(models), dir.filePath("AudioCache")));
    application->appSettings().setHasCompletedOnboarding(true);
    ModelContext& context = application->modelContext();
    TranscriptGroup* group = Application::ensureDefaultGroup(context, application->appSettings());
    AudioCacheService cache(dir.filePath("AudioCache"));
    for (const File& file : files) {
      const QString path = QString::fromStdString(file.path.string());
      auto* source = new AudioSource(path, QString::fromStdString(file.path.filename().string()), file.seconds);
      source->setGroup(group);
      context.insert(source);
      // About one segment every 1.2 s, as the generated models give for speech.
      QList<TranscribedSegment> segments;
      const int count = int(file.seconds / 1.22);
      for (int i = 0; i < count; ++i) {
        const double start = i * 1.22;
        segments << TranscribedSegment(i % 2, start, start + 1.1, QStringLiteral("words of segment %1").arg(i));
      }
      auto* version = new Transcription("Version 1", 10, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 10);
      version->setAudioSource(source);
      context.insert(version);
      context.updateSegments(version, TranscriptionResult(segments, file.seconds, 10));
      const std::vector<float> samples(std::size_t(file.seconds * kSampleRate), 0.1f);
      source->setCachedSamplesPath(cache.cacheSamples(samples, source->id()));
      versions.push_back(version);
    }
    context.save();
    application->showMainWindow();
    window().resize(1300, 850);
    waitUntil([&] { return window().processingScreens()->screen() != ProcessingScreens::Screen::loading; });
  }

  MainWindow& window() const { return *application->mainWindow(); }
  TranscriptionViewModel& vm() const { return application->viewModel(); }

  // Chooses the version as a click on its chip in the library does.
  void choose(Transcription* version) {
    window().selection().setAudioSource(version->audioSource());
    window().selection().setTranscription(version);
  }
  // The version is shown, its file in the player and its samples read back.
  bool opened(const Transcription* version) const {
    return vm().currentTranscription() == version && vm().audioPlayer().isLoaded() &&
           vm().audioPlayer().playablePath().isEmpty() == false && vm().hasCachedSamples() &&
           window().processingScreens()->screen() == ProcessingScreens::Screen::workspace;
  }
  // Opens the version and waits, also for the event loop to run free again.
  void open(Transcription* version) {
    choose(version);
    waitUntil([&] { return opened(version); });
    settle(300);
  }
  static void settle(int ms) {
    QElapsedTimer clock;
    clock.start();
    waitUntil([&] { return clock.elapsed() >= ms; });
  }

  QTemporaryDir dir;
  std::unique_ptr<Application> application;
  std::vector<Transcription*> versions;
};

// From the choice of `next` until it is shown and playable and a second has passed (what is
// let go of the version left goes meanwhile).
std::pair<double, double> switchTo(Library& library, Transcription* next) {
  testsupport::UiHeartbeat heartbeat;
  library.choose(next);
  waitUntil([&] { return library.opened(next); });
  Library::settle(1000);
  return {heartbeat.longestOwnGapMs(), heartbeat.longestGapMs()};
}

void BM_LeaveLongCaf(benchmark::State& state) {
  const fs::path caf = longCaf();
  const fs::path hour = hourMp3();
  if (caf.empty() || hour.empty()) return state.SkipWithError("ffmpeg could not make the files");
  Library library({{caf, 10800}, {hour, 3600}});
  double own = 0;
  double wall = 0;
  double load = 0;
  for (auto _ : state) {
    state.PauseTiming();
    library.open(library.versions[0]);
    state.ResumeTiming();
    const auto [ownMs, wallMs] = switchTo(library, library.versions[1]);
    own = std::max(own, ownMs);
    wall = std::max(wall, wallMs);
    load = std::max(load, loadAverage());
  }
  state.counters["leave_own_stall_ms"] = own;
  state.counters["leave_stall_ms"] = wall;
  state.counters["load"] = load;
}
BENCHMARK(BM_LeaveLongCaf)->Unit(benchmark::kSecond)->Iterations(3);

// Processor time the calling thread has used so far, in milliseconds.
double threadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

void BM_LeaveLongCafForShortFile(benchmark::State& state) {
  const fs::path caf = longCaf();
  const fs::path brief = bench::ffmpegMadeFile("player-10s.wav", "-f lavfi -i 'sine=f=550:d=10:sample_rate=16000'");
  if (caf.empty() || brief.empty()) return state.SkipWithError("ffmpeg could not make the files");
  Library library({{caf, 10800}, {brief, 10}});
  std::vector<double> spent;
  for (auto _ : state) {
    state.PauseTiming();
    library.open(library.versions[0]);
    state.ResumeTiming();
    const double before = threadCpuMs();
    library.choose(library.versions[1]);
    waitUntil([&] { return library.opened(library.versions[1]); });
    Library::settle(200);
    spent.push_back(threadCpuMs() - before);
  }
  std::sort(spent.begin(), spent.end());
  state.counters["leave_long_ui_cpu_ms"] = spent.back();
  state.counters["leave_long_ui_cpu_median_ms"] = spent[spent.size() / 2];
  state.counters["load"] = loadAverage();
}
BENCHMARK(BM_LeaveLongCafForShortFile)->Unit(benchmark::kSecond)->Iterations(5);

void BM_SwitchWhilePlaying(benchmark::State& state) {
  const fs::path a = hourMp3();
  const fs::path b = hourCaf();
  if (a.empty() || b.empty()) return state.SkipWithError("ffmpeg could not make the files");
  Library library({{a, 3600}, {b, 3600}});
  library.open(library.versions[0]);
  library.vm().audioPlayer().play();
  Library::settle(500);
  std::vector<double> own;
  double wall = 0;
  double load = 0;
  int next = 1;
  for (auto _ : state) {
    const auto [ownMs, wallMs] = switchTo(library, library.versions[next]);
    own.push_back(ownMs);
    wall = std::max(wall, wallMs);
    load = std::max(load, loadAverage());
    library.vm().audioPlayer().play();
    Library::settle(500);
    next = 1 - next;
  }
  std::sort(own.begin(), own.end());
  state.counters["switch_own_stall_ms"] = own.back();
  state.counters["switch_own_median_ms"] = own[own.size() / 2];
  state.counters["switch_stall_ms"] = wall;
  state.counters["load"] = load;
}
BENCHMARK(BM_SwitchWhilePlaying)->Unit(benchmark::kSecond)->Iterations(10);

qint64 folderBytes(const QString& folder) {
  qint64 bytes = 0;
  QDirIterator files(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (files.hasNext()) bytes += QFileInfo(files.next()).size();
  return bytes;
}

void BM_LongCafPlaybackMemory(benchmark::State& state) {
  const fs::path caf = longCaf();
  if (caf.empty()) return state.SkipWithError("ffmpeg could not make the file");
  const QUrl url = QUrl::fromLocalFile(QString::fromStdString(caf.string()));
  for (auto _ : state) {
    QTemporaryDir scratch;
    qputenv("TMPDIR", scratch.path().toLocal8Bit());
    const double resident = bench::currentMiB();
    bench::resetPeak();
    const double peak = bench::peakMiB();
    {
      AudioPlayerService player;
      bool loaded = false;
      player.load(url, [&](const QString&) { loaded = true; });
      waitUntil([&] { return loaded; });
      player.play();
      Library::settle(2000);
      state.counters["resident_mib"] = bench::currentMiB() - resident;
      state.counters["peak_mib"] = bench::peakMiB() - peak;
      state.counters["scratch_mib"] = double(folderBytes(scratch.path())) / (1024.0 * 1024.0);
      state.counters["played_s"] = player.currentTime();
    }
    qunsetenv("TMPDIR");
  }
}
BENCHMARK(BM_LongCafPlaybackMemory)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  return bench::runWithQtApplication<QApplication>(argc, argv);
}
