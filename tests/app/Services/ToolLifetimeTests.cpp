// The tools the application starts end with it, whatever ends it, and so does what they started
// themselves. The application's services run in a child process (this program, started as the
// application starts): the enhancer's ffmpeg and the downloader's real yt-dlp in its ffmpeg step,
// each a stand-in that has started a long-running program of its own, as ffmpeg's filters or a
// provider tool's workers would. The child is killed with SIGKILL, which nothing in it can
// answer, and all it started must be gone moments later, not run on unseen.

#include "Services/AudioEnhancer.h"
#include "Services/ProcessRunner.h"
#include "Services/TemporaryFolder.h"
#include "Services/YouTubeDownloader.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/ChildTestRun.h"
#include "support/LoopbackServer.h"
#include "support/Processes.h"
#include "support/QtWait.h"
#include "support/TempDir.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>

using namespace parlowvista;

namespace {

constexpr const char* kFolder = "PV_TOOLS_FOLDER";
constexpr const char* kAddress = "PV_TOOLS_ADDRESS";
constexpr const char* kRunning = "Tools running";
constexpr const char* kLeft = "Left behind: ";
constexpr const char* kTemporary = "Temporary folder: ";

// A stand-in ffmpeg that answers questions as the real one does (yt-dlp asks its version) and,
// given an input, starts a program that would run for ten minutes and waits for it. Each such
// run adds "<its id> <its program's id>" to `runs`.
std::string standInFFmpeg(const std::string& runs) {
  const QString real = QStandardPaths::findExecutable("ffmpeg");
  return "#!/bin/sh\n"
         "case \" $* \" in *\" -i \"*) ;; *) exec '" +
         real.toStdString() +
         "' \"$@\" ;; esac\n"
         "sleep 600 >/dev/null 2>&1 &\n"
         "echo \"$$ $!\" >> '" +
         runs + "'\nwait\n";
}

TEST(ToolLifetime, ToolsTheApplicationStartedEndWhenItIsKilled) {
  const testsupport::TempDir dir{"pv-tools"};
  const QString folder = QString::fromStdString(dir.path().string());
  const auto ffmpeg = testsupport::writeFile(dir / "bin" / "ffmpeg", standInFFmpeg((dir / "ffmpeg-runs").string()));
  std::filesystem::permissions(ffmpeg, std::filesystem::perms::owner_all);
  testsupport::writeFile(dir / "in.wav", "RIFF");
  QDir().mkpath(folder + "/tmp");
  // A whole recording, which yt-dlp fetches and then has ffmpeg turn into the format asked for.
  pipelinetest::writeFloatWav(dir / "talk.wav", std::vector<float>(16000, 0.1f));
  const std::string talk = testsupport::readFile(dir / "talk.wav");
  testsupport::LoopbackServer source;
  source.server().Get("/talk.wav", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(talk, "audio/wav");
  });
  source.start();

  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(testsupport::kChildRunVariable, "1");
  environment.insert(kFolder, folder);
  environment.insert(kAddress, QString::fromStdString(source.baseUrl() + "/talk.wav"));
  // yt-dlp finds the stand-in first.
  environment.insert("PATH", folder + "/bin:" + environment.value("PATH"));
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
  const QList<qint64> started = testsupport::descendantsOf(program.processId());
  QStringList named;
  for (const qint64 tool : started) named << QStringLiteral("%1 (%2)").arg(tool).arg(testsupport::commandLineOf(tool));
  QList<qint64> leftBehind;
  for (const QByteArray& line : output.split('\n')) {
    if (line.startsWith(kLeft)) leftBehind << line.mid(qstrlen(kLeft)).trimmed().toLongLong();
  }
  // While the program runs, another copy's start leaves what it writes alone: the enhancer's file
  // and the download's folder (in the program's own temporary folder).
  QString downloads;
  for (const QByteArray& line : output.split('\n')) {
    if (line.startsWith(kTemporary)) downloads = QString::fromUtf8(line.mid(qstrlen(kTemporary)).trimmed());
  }
  const auto written = [&] {
    return QDir(folder + "/tmp").entryList({"parlowvista-*"}, QDir::Files) +
           QDir(downloads).entryList({"yt-download-*"}, QDir::Dirs);
  };
  const QStringList writing = written();
  EXPECT_EQ(AudioEnhancer::removeLeftovers(folder + "/tmp") + YouTubeDownloader::removeLeftovers(downloads), 0);
  ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
  program.waitForFinished();
  ASSERT_TRUE(running && output.contains(kRunning)) << output.toStdString();
  EXPECT_EQ(written().join(", ").toStdString(), writing.join(", ").toStdString());
  EXPECT_EQ(writing.size(), 2) << writing.join(", ").toStdString();

  QElapsedTimer clock;
  clock.start();
  // Gone at once; the bound is for a crowded machine.
  const auto allEnded = [&] {
    return std::all_of(started.begin(), started.end(), [](qint64 tool) { return testsupport::processEnded(tool); });
  };
  const bool ended = testsupport::waitUntil(allEnded, 10000);
  std::cout << "What the program started ended " << clock.elapsed() << " ms after it was killed" << std::endl;
  QStringList survivors;
  for (const qint64 tool : started) {
    if (!testsupport::processEnded(tool)) survivors << named[started.indexOf(tool)];
  }
  // What ran in the group of a tool that had ended is not the application's any more: the number
  // may be another program's by then. (Everything the program started has ended, the process
  // that ends the tools' groups included: it will kill nothing more.)
  QStringList killedAfterTheirToolEnded;
  for (const qint64 left : leftBehind) {
    if (testsupport::processEnded(left)) killedAfterTheirToolEnded << QString::number(left);
  }
  for (const qint64 process : started + leftBehind) {
    if (!testsupport::processEnded(process)) ::kill(static_cast<pid_t>(process), SIGKILL);
  }
  EXPECT_TRUE(ended) << "still running: " << survivors.join(", ").toStdString();
  EXPECT_EQ(named.join(' ').count("sleep 600"), 2) << named.join(", ").toStdString();
  EXPECT_TRUE(named.join(' ').contains("yt-dlp")) << named.join(", ").toStdString();
  EXPECT_EQ(leftBehind.size(), 2) << output.toStdString();
  EXPECT_TRUE(killedAfterTheirToolEnded.isEmpty()) << killedAfterTheirToolEnded.join(", ").toStdString();
  // What the killed program was writing is left behind; the next start removes it all.
  EXPECT_EQ(AudioEnhancer::removeLeftovers(folder + "/tmp"), 1);
  EXPECT_EQ(YouTubeDownloader::removeLeftovers(downloads), 1);
  EXPECT_EQ(written().join(", ").toStdString(), "");
}

// The program for the test above: two tools that have ended, each leaving a program in its group
// (once through each way of running a tool), then the enhancer's ffmpeg and a download in its
// ffmpeg step, then nothing but the event loop until it is killed.
TEST(ToolLifetimeChildProcess, StartsToolsAndRunsUntilKilled) {
  const QString folder = qEnvironmentVariable(kFolder);
  ASSERT_FALSE(folder.isEmpty());
  ProcessRequest leaving;
  leaving.program = "/bin/sh";
  leaving.arguments = QStringList{"-c", "sleep 600 >/dev/null 2>&1 & echo $!"};
  const ProcessOutcome waited = ProcessRunner::runToEnd(leaving);
  ASSERT_TRUE(waited.succeeded());
  std::cout << kLeft << waited.standardOutput.toStdString() << std::endl;
  ProcessRunner runner;
  std::optional<ProcessOutcome> answered;
  runner.start(leaving, [&](const ProcessOutcome& outcome) { answered = outcome; });
  ASSERT_TRUE(testsupport::waitUntil([&] { return answered.has_value(); }, 60000));
  ASSERT_TRUE(answered->succeeded());
  std::cout << kLeft << answered->standardOutput.toStdString() << std::endl;

  AudioEnhancer enhancer(folder + "/bin/ffmpeg", folder + "/tmp");
  enhancer.generatePreview(folder + "/in.wav", {}, [](const AudioEnhancer::Outcome&) { ADD_FAILURE() << "answered"; });
  YouTubeDownloader downloader;
  ASSERT_TRUE(downloader.isAvailable());
  const QFuture<DownloadedAudio> download = downloader.downloadAudio(qEnvironmentVariable(kAddress), {});
  // Both stand-ins have started their programs: the enhancer's and the one yt-dlp runs.
  const auto runs = [&] {
    QFile file(folder + "/ffmpeg-runs");
    return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
  };
  ASSERT_TRUE(testsupport::waitUntil([&] { return runs() == 2 || download.isFinished(); }, 60000));
  ASSERT_FALSE(download.isFinished());
  std::cout << kTemporary << temporaryFolder().toStdString() << std::endl;
  std::cout << kRunning << std::endl;
  testsupport::waitUntil([] { return false; }, 300000);
}

}  // namespace
