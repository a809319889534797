// The tools the application starts end with it, whatever ends it. The application's services
// run in a child process (this program): the enhancer's ffmpeg (a stand-in that would run for
// minutes) and the downloader's real yt-dlp, fetching from a server on 127.0.0.1 that stalls.
// The child is killed with SIGKILL, which nothing in it can answer, and each tool must be gone
// moments later, not run on unseen.

#include "Services/AudioEnhancer.h"
#include "Services/YouTubeDownloader.h"
#include "support/ChildTestRun.h"
#include "support/LoopbackServer.h"
#include "support/Processes.h"
#include "support/QtWait.h"
#include "support/TempDir.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <thread>

using namespace parlowvista;

namespace {

constexpr const char* kFolder = "PV_TOOLS_FOLDER";
constexpr const char* kAddress = "PV_TOOLS_ADDRESS";
constexpr const char* kRunning = "Tools running";

// Media that comes as far as its first kilobyte of a megabyte, then stalls with the connection
// open, as a slow or hung server does, until the source goes.
struct StallingSource {
  testsupport::LoopbackServer server;
  std::atomic<bool> released{false};

  StallingSource() {
    server.server().Get("/stalled.m4a", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content_provider(1 << 20, "audio/mp4", [this](size_t offset, size_t, httplib::DataSink& sink) {
        if (offset == 0) {
          const std::string first(1024, 'x');
          return sink.write(first.data(), first.size());
        }
        while (!released && sink.is_writable()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return false;
      });
    });
    server.start();
  }
  ~StallingSource() { released = true; }
  QString address() const { return QString::fromStdString(server.baseUrl() + "/stalled.m4a"); }
};

TEST(ToolLifetime, ToolsTheApplicationStartedEndWhenItIsKilled) {
  const testsupport::TempDir dir{"pv-tools"};
  const QString folder = QString::fromStdString(dir.path().string());
  const auto ffmpeg = testsupport::writeFile(
      dir / "bin" / "ffmpeg", "#!/bin/sh\necho $$ > '" + (dir / "ffmpeg.pid").string() + "'\nexec sleep 600\n");
  std::filesystem::permissions(ffmpeg, std::filesystem::perms::owner_all);
  testsupport::writeFile(dir / "in.wav", "RIFF");
  QDir().mkpath(folder + "/tmp");
  StallingSource source;

  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(testsupport::kChildRunVariable, "1");
  environment.insert(kFolder, folder);
  environment.insert(kAddress, source.address());
  // What the killed program leaves in its temporary folder goes with this test's folder.
  environment.insert("TMPDIR", folder + "/tmp");
  QProcess program;
  program.setProcessEnvironment(environment);
  program.setProcessChannelMode(QProcess::MergedChannels);
  program.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=ToolLifetimeChildProcess.*"});
  QByteArray output;
  const bool running = testsupport::waitUntil(
      [&] {
        program.waitForReadyRead(100);
        output += program.readAll();
        return output.contains(kRunning) || program.state() == QProcess::NotRunning;
      },
      120000);
  const QList<qint64> tools = testsupport::childProcessesOf(program.processId());
  QStringList named;
  for (const qint64 tool : tools) named << QStringLiteral("%1 (%2)").arg(tool).arg(testsupport::commandLineOf(tool));
  ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
  program.waitForFinished();
  ASSERT_TRUE(running && output.contains(kRunning)) << output.toStdString();

  QElapsedTimer clock;
  clock.start();
  // Gone at once, as the kernel ends them with the program; the bound is for a crowded machine.
  const bool ended = testsupport::waitUntil(
      [&] {
        return std::all_of(tools.begin(), tools.end(), [](qint64 tool) { return testsupport::processEnded(tool); });
      },
      10000);
  std::cout << "The tools ended " << clock.elapsed() << " ms after the program was killed" << std::endl;
  for (const qint64 tool : tools) {
    if (!testsupport::processEnded(tool)) ::kill(static_cast<pid_t>(tool), SIGKILL);
  }
  EXPECT_TRUE(ended) << "still running of " << named.join(", ").toStdString();
  EXPECT_TRUE(named.join(' ').contains("sleep 600")) << named.join(", ").toStdString();
  EXPECT_TRUE(named.join(' ').contains("yt-dlp")) << named.join(", ").toStdString();
}

// The program for the test above: the enhancer's tool and a download under way, then nothing
// but the event loop until it is killed.
TEST(ToolLifetimeChildProcess, StartsToolsAndRunsUntilKilled) {
  const QString folder = qEnvironmentVariable(kFolder);
  ASSERT_FALSE(folder.isEmpty());
  AudioEnhancer enhancer(folder + "/bin/ffmpeg", folder + "/tmp");
  enhancer.enhance(folder + "/in.wav", {}, {}, [](const AudioEnhancer::Outcome&) { ADD_FAILURE() << "answered"; });
  YouTubeDownloader downloader;
  ASSERT_TRUE(downloader.isAvailable());
  bool downloading = false;
  const QFuture<DownloadedAudio> download =
      downloader.downloadAudio(qEnvironmentVariable(kAddress), [&](double, const QString&) { downloading = true; });
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return (downloading || download.isFinished()) && QFileInfo(folder + "/ffmpeg.pid").size() > 0; }, 60000));
  ASSERT_FALSE(download.isFinished());
  std::cout << kRunning << std::endl;
  testsupport::waitUntil([] { return false; }, 300000);
}

}  // namespace
