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
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>
#include <thread>

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

using namespace parlowvista;

namespace {

constexpr const char* kFolder = "PV_TOOLS_FOLDER";
constexpr const char* kAddress = "PV_TOOLS_ADDRESS";
constexpr const char* kRunning = "Tools running";
constexpr const char* kLeft = "Left behind: ";
constexpr const char* kTemporary = "Temporary folder: ";
constexpr const char* kLastThread = "PV_TOOLS_LAST_THREAD";

// A process's name (what the system shows of it), as it gave itself one.
QByteArray nameOf(qint64 pid) {
  QFile name(QStringLiteral("/proc/%1/comm").arg(pid));
  return name.open(QIODevice::ReadOnly) ? name.readAll().trimmed() : QByteArray();
}

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

// The program (ToolLifetimeChildProcess below) started with its tools, and what it said.
class ToolLifetime : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto ffmpeg = testsupport::writeFile(dir / "bin" / "ffmpeg", standInFFmpeg((dir / "ffmpeg-runs").string()));
    std::filesystem::permissions(ffmpeg, std::filesystem::perms::owner_all);
    testsupport::writeFile(dir / "in.wav", "RIFF");
    QDir().mkpath(folder + "/tmp");
    // A whole recording, which yt-dlp fetches and then has ffmpeg turn into the format asked for.
    pipelinetest::writeFloatWav(dir / "talk.wav", std::vector<float>(16000, 0.1f));
    talk = testsupport::readFile(dir / "talk.wav");
    source.server().Get("/talk.wav", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(talk, "audio/wav");
    });
    source.start();
    environment.insert(testsupport::kChildRunVariable, "1");
    environment.insert(kFolder, folder);
    environment.insert(kAddress, QString::fromStdString(source.baseUrl() + "/talk.wav"));
    // yt-dlp finds the stand-in first.
    environment.insert("PATH", folder + "/bin:" + environment.value("PATH"));
    // What the killed program leaves in its temporary folder goes with this test's folder.
    environment.insert("TMPDIR", folder + "/tmp");
  }
  void TearDown() override {
    if (program.state() != QProcess::NotRunning) program.kill(), program.waitForFinished();
    for (const qint64 process : started + leftBehind) {
      if (!testsupport::processEnded(process)) ::kill(static_cast<pid_t>(process), SIGKILL);
    }
  }

  // Starts the program and waits until its tools run: true once they do. `started` is then all
  // the program started that still runs, `leftBehind` what the tools that had ended left.
  bool startProgram() {
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=ToolLifetimeChildProcess.*"});
    const bool running = testsupport::waitUntil(
        [&] {
          program.waitForReadyRead(100);
          output += program.readAll();
          return output.contains(kRunning) || program.state() == QProcess::NotRunning;
        },
        120000);
    started = testsupport::descendantsOf(program.processId());
    for (const qint64 tool : started)
      named << QStringLiteral("%1 (%2)").arg(tool).arg(testsupport::commandLineOf(tool));
    for (const QByteArray& line : output.split('\n')) {
      if (line.startsWith(kLeft)) leftBehind << line.mid(qstrlen(kLeft)).trimmed().toLongLong();
      if (line.startsWith(kTemporary)) downloads = QString::fromUtf8(line.mid(qstrlen(kTemporary)).trimmed());
    }
    return running && output.contains(kRunning);
  }
  bool allEnded(const QList<qint64>& processes) const {
    return std::all_of(processes.begin(), processes.end(), [](qint64 tool) { return testsupport::processEnded(tool); });
  }
  QStringList survivors(const QList<qint64>& processes) const {
    QStringList running;
    for (const qint64 tool : processes) {
      if (!testsupport::processEnded(tool)) running << named[started.indexOf(tool)];
    }
    return running;
  }

  const testsupport::TempDir dir{"pv-tools"};
  const QString folder = QString::fromStdString(dir.path().string());
  std::string talk;
  testsupport::LoopbackServer source;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  QProcess program;
  QByteArray output;
  QList<qint64> started;
  QStringList named;
  QList<qint64> leftBehind;
  // The program's own temporary folder, where its download is.
  QString downloads;
};

TEST_F(ToolLifetime, ToolsTheApplicationStartedEndWhenItIsKilled) {
  const bool running = startProgram();
  // While the program runs, another copy's start leaves what it writes alone: the enhancer's file
  // and the download's folder (in the program's own temporary folder).
  const auto written = [&] {
    return QDir(folder + "/tmp").entryList({"parlowvista-*"}, QDir::Files) +
           QDir(downloads).entryList({"yt-download-*"}, QDir::Dirs);
  };
  const QStringList writing = written();
  EXPECT_EQ(AudioEnhancer::removeLeftovers(folder + "/tmp") + YouTubeDownloader::removeLeftovers(downloads), 0);
  ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
  program.waitForFinished();
  ASSERT_TRUE(running) << output.toStdString();
  EXPECT_EQ(written().join(", ").toStdString(), writing.join(", ").toStdString());
  EXPECT_EQ(writing.size(), 2) << writing.join(", ").toStdString();

  QElapsedTimer clock;
  clock.start();
  // Gone at once; the bound is for a crowded machine.
  const bool ended = testsupport::waitUntil([&] { return allEnded(started); }, 10000);
  std::cout << "What the program started ended " << clock.elapsed() << " ms after it was killed" << std::endl;
  const QStringList stillRunning = survivors(started);
  // What ran in the group of a tool that had ended is not the application's any more: the number
  // may be another program's by then. (Everything the program started has ended, the process
  // that ends the tools' groups included: it will kill nothing more.)
  QStringList killedAfterTheirToolEnded;
  for (const qint64 left : leftBehind) {
    if (testsupport::processEnded(left)) killedAfterTheirToolEnded << QString::number(left);
  }
  EXPECT_TRUE(ended) << "still running: " << stillRunning.join(", ").toStdString();
  EXPECT_EQ(named.join(' ').count("sleep 600"), 2) << named.join(", ").toStdString();
  EXPECT_TRUE(named.join(' ').contains("yt-dlp")) << named.join(", ").toStdString();
  EXPECT_EQ(leftBehind.size(), 2) << output.toStdString();
  EXPECT_TRUE(killedAfterTheirToolEnded.isEmpty()) << killedAfterTheirToolEnded.join(", ").toStdString();
  // What the killed program was writing is left behind; the next start removes it all.
  EXPECT_EQ(AudioEnhancer::removeLeftovers(folder + "/tmp"), 1);
  EXPECT_EQ(YouTubeDownloader::removeLeftovers(downloads), 1);
  EXPECT_EQ(written().join(", ").toStdString(), "");
}

// On a busy machine, what the tools started (yt-dlp's ffmpeg, a stand-in in its place on the
// road, and what the enhancer's ffmpeg started) ends within a second of the program's SIGKILL.
// Every processor the program may use is busy: it is held to one, which a thread of this test
// keeps busy. And one of its threads goes last, as some of the application's do on a busy
// machine: it gets the least of a processor (SCHED_IDLE) and has the program's large address
// space to tear down. The process that ends the tools' groups is told as the program's main
// thread ends, not only once that last thread has gone.
TEST_F(ToolLifetime, WhatTheToolsStartedEndsWithinASecondOfAKillWithEveryProcessorBusy) {
  cpu_set_t allowed;
  ASSERT_EQ(::sched_getaffinity(0, sizeof allowed, &allowed), 0);
  int processor = CPU_SETSIZE - 1;
  while (processor > 0 && !CPU_ISSET(processor, &allowed)) --processor;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(processor, &one);
  program.setChildProcessModifier([one] { ::sched_setaffinity(0, sizeof one, &one); });
  environment.insert(kLastThread, "1");
  ASSERT_TRUE(startProgram()) << output.toStdString();
  // All the program started but the guardian, which ends once the program's last thread is gone.
  QList<qint64> tools;
  for (const qint64 process : started) {
    if (nameOf(process) != "tool-guardian") tools << process;
  }
  ASSERT_EQ(tools.size(), started.size() - 1) << named.join(", ").toStdString();

  std::atomic<bool> busy{true};
  std::thread occupier([&] {
    ::pthread_setaffinity_np(::pthread_self(), sizeof one, &one);
    while (busy.load(std::memory_order_relaxed)) {
    }
  });
  // The last thread has fallen behind.
  QThread::msleep(300);
  ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
  QElapsedTimer clock;
  clock.start();
  const bool ended = testsupport::waitUntil([&] { return allEnded(tools); }, 10000);
  const qint64 toolsEnded = clock.elapsed();
  const QStringList stillRunning = survivors(tools);
  busy = false;
  occupier.join();
  std::cout << "What the tools started ended " << toolsEnded << " ms after the program was killed" << std::endl;
  EXPECT_TRUE(ended && toolsEnded < 1000)
      << toolsEnded << " ms; still running: " << stillRunning.join(", ").toStdString();
  EXPECT_EQ(named.join(' ').count("sleep 600"), 2) << named.join(", ").toStdString();
  // With the processor free again, the program goes, and the guardian after it.
  EXPECT_TRUE(program.waitForFinished(60000));
  EXPECT_TRUE(testsupport::waitUntil([&] { return allEnded(started); }, 10000))
      << survivors(started).join(", ").toStdString();
}

// A thread that goes last when the program is killed on a busy processor, as some of the
// application's do: it never sleeps and gets the least of a processor (SCHED_IDLE), and the
// program's address space is large (half a gigabyte of small pages), which the last thread to go
// tears down.
void startLastThread() {
  constexpr std::size_t kSize = std::size_t(512) << 20;
  void* memory = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  ::madvise(memory, kSize, MADV_NOHUGEPAGE);
  std::memset(memory, 1, kSize);
  std::thread([] {
    const sched_param none{};
    ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &none);
    const std::atomic<bool> never{false};
    while (!never.load(std::memory_order_relaxed)) {
    }
  }).detach();
}

// The program for the tests above: two tools that have ended, each leaving a program in its group
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
  if (qEnvironmentVariableIsSet(kLastThread)) startLastThread();
  std::cout << kTemporary << temporaryFolder().toStdString() << std::endl;
  std::cout << kRunning << std::endl;
  testsupport::waitUntil([] { return false; }, 300000);
}

// A guardian killed while the program runs is reaped at once: it does not stay a zombie for as
// long as the program runs. (In a program of its own: this one's guardian stays.)
TEST(ToolGuardianEnd, AGuardianKilledWhileTheProgramRunsIsReaped) {
  const testsupport::ChildTestRun run =
      testsupport::runTestsInChild(QProcessEnvironment::systemEnvironment(), "ToolGuardianEndChildProcess.*", 120000);
  EXPECT_TRUE(run.output.contains("[  PASSED  ] 1 test")) << run.output.toStdString();
}

TEST(ToolGuardianEndChildProcess, KillsItsGuardian) {
  qint64 guardian = 0;
  for (const qint64 child : testsupport::childProcessesOf(QCoreApplication::applicationPid())) {
    if (nameOf(child) == "tool-guardian") guardian = child;
  }
  ASSERT_GT(guardian, 0);
  ::kill(static_cast<pid_t>(guardian), SIGKILL);
  EXPECT_TRUE(testsupport::waitUntil([&] { return testsupport::statusFields(guardian).isEmpty(); }, 10000))
      << "the guardian is still there: " << testsupport::statusFields(guardian).value(0).toStdString();
}

}  // namespace
