// The results view over an 8,800-segment transcript (what three hours of talk become): the
// time to build and first show it, the cost of scrolling it a screen at a time, and the
// per-tick cost of following playback (the player's clock moves, the view model finds the
// segment, the row marks change, the debounced scroll is rescheduled, the view repaints).
//
// Counters: "show_ms" (construct, lay out the first screen and paint it; "first_show_ms" the
// same with cold font and icon caches), "scroll_ms" (one screen down, painted), "tick_ms" (one
// 0.1 s clock step, painted).

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Services/AudioCacheService.h"
#include "Services/AudioEnhancer.h"
#include "Services/AudioPlayerService.h"
#include "Services/FileAccessManager.h"
#include "Services/LocalHTTPServer.h"
#include "Services/SpeechEngine.h"
#include "Services/YouTubeDownloader.h"
#include "Store/ModelContext.h"
#include "ViewModels/FileDialogs.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Workspace/ResultsView.h"
#include "Views/Workspace/SegmentListView.h"

#include "QtBenchMain.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebEngineProfile>

#include <cstdlib>
#include <memory>

namespace {

using namespace parlowvista;

constexpr int kSegments = 8800;
constexpr double kSegmentSeconds = 0.4;

class NoEngine : public SpeechEngine {
  std::shared_ptr<SpeechRecognizer> loadRecognizer(const std::function<void()>&, std::stop_token) override {
    return nullptr;
  }
  std::shared_ptr<SpeakerDiarizer> prepareDiarizer(const voxtrellis::OfflineDiarizerConfig&, std::stop_token) override {
    return nullptr;
  }
};

class NoDialogs : public FileDialogs {
  void chooseSaveFile(const QString&, const QString&, std::function<void(const QString&)>) override {}
  void chooseFolder(const QString&, std::function<void(const QString&)>) override {}
};

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < timeoutMs) QApplication::processEvents(QEventLoop::AllEvents, 5);
  return done();
}

// A view model showing a stored 8,800-segment version of a silent file long enough for it.
struct Fixture {
  Fixture() {
    const QString audio = dir.filePath("long.flac");
    const QString command = QString("ffmpeg -nostdin -loglevel error -y -f lavfi -i anullsrc=r=8000:cl=mono -t %1 '%2'")
                                .arg(kSegments * kSegmentSeconds + 5)
                                .arg(audio);
    ok = std::system(command.toUtf8().constData()) == 0;
    settings = std::make_unique<AppSettings>(
        std::make_unique<QSettings>(dir.filePath("settings.ini"), QSettings::IniFormat), dir.filePath("support"));
    settings->setAutoSaveInterval(3600);
    context = std::make_unique<ModelContext>(dir.filePath("Parlowvista.store"));
    auto* group = new TranscriptGroup("Inbox", 0);
    context->insert(group);
    auto* source = new AudioSource(audio, "long.flac", kSegments * kSegmentSeconds);
    source->setGroup(group);
    context->insert(source);
    QList<TranscribedSegment> segments;
    for (int i = 0; i < kSegments; ++i) {
      segments << TranscribedSegment(i % 3, i * kSegmentSeconds, (i + 1) * kSegmentSeconds,
                                     QString("Segment %1 says a sentence of ordinary length, sometimes a longer one "
                                             "that has to wrap onto a second line of the row.")
                                         .arg(i)
                                         .left(60 + (i * 37) % 90));
    }
    version = new Transcription("Version 1", 10, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 12);
    version->setAudioSource(source);
    context->insert(version);
    context->updateSegments(version, TranscriptionResult(segments, kSegments * kSegmentSeconds, 10));
    context->save();

    TranscriptionViewModel::Dependencies deps;
    deps.engine = std::make_shared<NoEngine>();
    deps.sampleCache = std::make_shared<AudioCacheService>(dir.filePath("AudioCache"));
    deps.audioEnhancer = std::make_shared<AudioEnhancer>(std::nullopt);
    deps.youtubeDownloader = new YouTubeDownloader(std::optional<QString>());
    deps.settings = settings.get();
    deps.fileAccess = &access;
    deps.dialogs = std::make_shared<NoDialogs>();
    deps.downloadsFolder = dir.filePath("downloads");
    vm = std::make_unique<TranscriptionViewModel>(deps);
    deps.youtubeDownloader->setParent(vm.get());
    vm->setModelContext(context.get());
    vm->loadTranscription(version);
    ok = ok && waitUntil([&] { return vm->audioPlayer().isLoaded(); });
  }

  QTemporaryDir dir;
  bool ok = false;
  FileAccessManager access;
  std::unique_ptr<AppSettings> settings;
  std::unique_ptr<ModelContext> context;
  Transcription* version = nullptr;
  std::unique_ptr<TranscriptionViewModel> vm;
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// The player-page server and profile, as the application holds them; a local file's results
// never ask for them.
PlayerPageHost pageHost() {
  static auto* server = new LocalHTTPServer(qApp);
  static QWebEngineProfile* profile = YouTubePlayerView::createPlayerProfile(qApp);
  return {*server, *profile};
}

void BM_ShowResults(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.ok) return state.SkipWithError("could not prepare the transcript and its audio");
  double ms = 0;
  double first = -1;
  for (auto _ : state) {
    QElapsedTimer clock;
    clock.start();
    ResultsView view(*f.vm, pageHost);
    view.resize(1000, 700);
    view.show();
    QApplication::processEvents();
    benchmark::DoNotOptimize(view.grab());
    ms = double(clock.nsecsElapsed()) / 1e6;
    if (first < 0) first = ms;
    state.SetIterationTime(ms / 1000);
  }
  state.counters["show_ms"] = ms;
  state.counters["first_show_ms"] = first;
}
BENCHMARK(BM_ShowResults)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ScrollScreen(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.ok) return state.SkipWithError("could not prepare the transcript and its audio");
  ResultsView view(*f.vm, pageHost);
  view.resize(1000, 700);
  view.show();
  waitUntil([&] { return view.listView()->verticalScrollBar()->maximum() > 100000; }, 5000);
  QScrollBar* bar = view.listView()->verticalScrollBar();
  QElapsedTimer clock;
  qint64 steps = 0;
  double total = 0;
  for (auto _ : state) {
    clock.start();
    const int next = bar->value() + view.listView()->viewport()->height();
    bar->setValue(next >= bar->maximum() ? 0 : next);
    view.listView()->viewport()->repaint();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    state.SetIterationTime(ms / 1000);
    total += ms;
    ++steps;
  }
  state.counters["scroll_ms"] = steps ? total / steps : 0;
  state.counters["rows"] = view.listView()->model()->rowCount();
}
BENCHMARK(BM_ScrollScreen)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(300);

void BM_FollowTick(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.ok) return state.SkipWithError("could not prepare the transcript and its audio");
  ResultsView view(*f.vm, pageHost);
  view.resize(1000, 700);
  view.show();
  QApplication::processEvents();
  AudioPlayerService& player = f.vm->audioPlayer();
  double t = 0;
  QElapsedTimer clock;
  double total = 0;
  double worst = 0;
  qint64 ticks = 0;
  for (auto _ : state) {
    t += 0.1;
    if (t > kSegments * kSegmentSeconds - 1) t = 0;
    clock.start();
    player.seek(t);
    QApplication::processEvents();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    state.SetIterationTime(ms / 1000);
    total += ms;
    worst = std::max(worst, ms);
    ++ticks;
  }
  state.counters["tick_ms"] = ticks ? total / ticks : 0;
  state.counters["worst_tick_ms"] = worst;
  state.counters["follow_index"] = double(f.vm->currentSegmentIndex().value_or(-1));
}
BENCHMARK(BM_FollowTick)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace

int main(int argc, char** argv) {
  return bench::runWithQtApplication<QApplication>(argc, argv);
}
