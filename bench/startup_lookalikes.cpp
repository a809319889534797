// A start of the application while the temporary folder it shares with other local users holds
// another user's look-alikes of what its copies leave there: 100,000 folders named as a
// download's folder is named and 100,000 files named as a preview is, all of user "nobody" (so
// the run must be root's, which alone can give them away; they stay, as they must, and are made
// once in the benchmarks' folder). Each figure is set beside the same start over an empty
// temporary folder (argument 0).
//
// Counters: "window_ms" (from the making of the Application until its main window is shown and
// exposed), "sweep_ms" (from then until the sweep of the temporary folder has ended, all
// look-alikes looked at and left), "stall_ms" (the longest the window's thread went without
// serving its event loop from the making to the sweep's end, from a 10 ms heartbeat) and
// "quit_ms" (the application's end when the user quits as soon as the window shows, the sweep
// then under way). The aim: "window_ms" as without look-alikes, "stall_ms" under 150 ms and
// "quit_ms" under 200 ms.

#include "App/Application.h"
#include "App/LeftoverSweep.h"
#include "Models/AppSettings.h"
#include "Models/UuidText.h"
#include "Services/SpeechEngine.h"
#include "Views/Shell/MainWindow.h"

#include "BenchSupport.h"
#include "QtBenchMain.h"
#include "support/FixturePaths.h"
#include "support/ScopedSettingsFolder.h"
#include "support/UiHeartbeat.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUuid>
#include <QWindow>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace parlowvista;

// The folder of `count` look-alikes of user `owner`, made when it is not complete.
QString lookalikes(int count, uid_t owner, gid_t group) {
  const bench::fs::path folder = bench::benchFolder() / ("lookalikes-" + std::to_string(count));
  const bench::fs::path done = bench::benchFolder() / ("lookalikes-" + std::to_string(count) + ".done");
  if (!bench::fs::exists(done)) {
    std::error_code ignored;
    bench::fs::remove_all(folder, ignored);
    bench::fs::create_directories(folder);
    ::chmod(folder.c_str(), 01777);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < count / 2; ++i) {
      const QByteArray download = ("yt-download-" + uuidText(QUuid::createUuid())).toUtf8();
      ::mkdirat(dir, download.constData(), 0755);
      ::fchownat(dir, download.constData(), owner, group, AT_SYMLINK_NOFOLLOW);
      const QByteArray preview =
          QStringLiteral("parlowvista-%1-preview_%2.wav").arg(100000 + i).arg(uuidText(QUuid::createUuid())).toUtf8();
      const int file = ::openat(dir, preview.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (file >= 0) ::fchown(file, owner, group), ::close(file);
    }
    ::close(dir);
    std::ofstream(done) << count;
  }
  return QString::fromStdString(folder.string());
}

void processEventsUntil(const std::function<bool()>& done) {
  while (!done()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

void BM_StartWithLookalikes(benchmark::State& state) {
  const int count = int(state.range(0));
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || !nobody)
    return state.SkipWithError("only root can give the look-alikes to another user (\"nobody\")");
  QTemporaryDir dir;
  const QString temporary = count > 0 ? lookalikes(count, nobody->pw_uid, nobody->pw_gid) : dir.filePath("tmp");
  QDir().mkpath(temporary);
  const QByteArray savedTemporary = qgetenv("TMPDIR");
  qputenv("TMPDIR", QFile::encodeName(temporary));
  const testsupport::ScopedSettingsFolder settings(dir.filePath("config"));
  const auto environment = [&] {
    VoxtrellisSpeechEngine::ModelFolders folders;
    folders.recognizer = testsupport::fixturesDir() / "asr" / "parakeet-tdt-0.6b-v3-onnx";
    folders.diarizer = testsupport::fixturesDir() / "diarizer";
    return Application::Environment(dir.filePath("share"), QStringLiteral("com.lanternhollow.bench.lookalikes"),
                                    std::make_shared<VoxtrellisSpeechEngine>(folders));
  };
  for (auto _ : state) {
    testsupport::UiHeartbeat heartbeat;
    QElapsedTimer clock;
    clock.start();
    auto application = std::make_unique<Application>(environment());
    application->appSettings().setHasCompletedOnboarding(true);
    application->showMainWindow();
    processEventsUntil([&] {
      const QWindow* window = application->mainWindow()->windowHandle();
      return window && window->isExposed();
    });
    const double windowMs = double(clock.nsecsElapsed()) / 1e6;
    processEventsUntil([&] { return application->leftoverSweep()->isFinished(); });
    state.SetIterationTime(windowMs / 1000);
    state.counters["window_ms"] = windowMs;
    state.counters["sweep_ms"] = double(clock.nsecsElapsed()) / 1e6 - windowMs;
    state.counters["stall_ms"] = heartbeat.longestGapMs();
    application.reset();

    // Quit as soon as the window shows.
    application = std::make_unique<Application>(environment());
    application->showMainWindow();
    clock.restart();
    application.reset();
    state.counters["quit_ms"] = double(clock.nsecsElapsed()) / 1e6;
  }
  qputenv("TMPDIR", savedTemporary);
}
BENCHMARK(BM_StartWithLookalikes)->Arg(0)->Arg(200000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  return bench::runWithQtApplication<QApplication>(argc, argv);
}
