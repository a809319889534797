// The application and the temporary folder it shares with other users and with other copies of
// itself: the sweep at a start of what copies that could not end cleanly left there, and what it
// makes there itself.

#include "App/Application.h"

#include "App/LeftoverSweep.h"
#include "Models/UuidText.h"
#include "Services/AudioEnhancer.h"
#include "Services/HeldFiles.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Shell/MainWindow.h"
#include "app/App/ApplicationTestSupport.h"
#include "app/Services/OtherUsersAccess.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "engine/Shared/FolderRemovalTestSupport.h"
#include "support/ChildTestRun.h"
#include "support/Namespaces.h"
#include "support/Processes.h"
#include "support/QtWait.h"
#include "support/ScopedEnv.h"
#include "support/ScopedSettingsFolder.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QUuid>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <iostream>
#include <mutex>
#include <stop_token>
#include <thread>

#include <unistd.h>

using parlowvista::Application;
using parlowvista::AudioEnhancementSettings;
using parlowvista::ProcessingState;

namespace {

using apptest::ApplicationTest;
using apptest::showAndSweep;
using apptest::startChildUntil;

// Holds each sweep made while it lives at its start, until opened or until the sweep is
// stopped, and tells on which thread the sweep ran and whether it was stopped there. A sweep on
// the thread that made the gate (the window's, in these tests) is let through at once: holding it
// there would hold the test.
class SweepGate {
 public:
  SweepGate() { parlowvista::LeftoverSweep::setBeforeSweepForTesting(&m_hook); }
  ~SweepGate() { parlowvista::LeftoverSweep::setBeforeSweepForTesting(nullptr); }
  SweepGate(const SweepGate&) = delete;
  SweepGate& operator=(const SweepGate&) = delete;

  // Lets the sweeps held, and those to come, go on.
  void open() {
    const std::lock_guard lock(m_mutex);
    m_open = true;
    m_changed.notify_all();
  }
  bool reached() const {
    const std::lock_guard lock(m_mutex);
    return m_reached;
  }
  std::thread::id sweeper() const {
    const std::lock_guard lock(m_mutex);
    return m_sweeper;
  }
  bool stoppedWhileHeld() const {
    const std::lock_guard lock(m_mutex);
    return m_stoppedWhileHeld;
  }

 private:
  void hold(std::stop_token stop) {
    std::unique_lock lock(m_mutex);
    m_reached = true;
    m_sweeper = std::this_thread::get_id();
    if (m_sweeper == m_maker) return;
    // The bound only ends a hang: a sweep that is never stopped (the fault these tests look for)
    // goes on after it.
    m_changed.wait_for(lock, stop, std::chrono::seconds(30), [this] { return m_open; });
    m_stoppedWhileHeld = stop.stop_requested() && !m_open;
  }

  const std::thread::id m_maker = std::this_thread::get_id();
  mutable std::mutex m_mutex;
  std::condition_variable_any m_changed;
  bool m_open = false;
  bool m_reached = false;
  bool m_stoppedWhileHeld = false;
  std::thread::id m_sweeper;
  const std::function<void(std::stop_token)> m_hook = [this](std::stop_token stop) { hold(std::move(stop)); };
};

QString downloadFolderName() {
  return "yt-download-" + parlowvista::uuidText(QUuid::createUuid());
}

// A copy killed (or left without power) while it enhanced or downloaded a file left the
// half-written output in the temporary folder. The next start removes it, and what such a copy's
// previews left, by the names the enhancer and the downloader give: nothing a copy holds, this
// one or another, and nothing else in the folder. The process number in the enhancer's names
// says nothing where locks work: a copy in another container had its own numbers (1, as the
// container's first process), so a file that no copy holds goes whatever number it gives, that
// of a process running here included.
TEST_F(ApplicationTest, AStartRemovesWhatAnEndedCopyLeftInTheTemporaryFolderAndNothingElse) {
  const QString temporary = folder("tmp");
  ASSERT_TRUE(QDir().mkpath(temporary));
  const testsupport::ScopedEnv tmpdir("TMPDIR", temporary.toStdString());
  ASSERT_EQ(QDir::tempPath(), temporary);
  const pid_t ended = testsupport::endedProcessId();
  ASSERT_GT(ended, 0);
  QProcess running;
  running.start("sleep", {"60"});
  ASSERT_TRUE(running.waitForStarted());
  const auto named = pipelinetest::enhancerFileName;
  const QStringList left{
      named(ended, ""), named(ended, "preview_"),       named(ended, "preview_original_"),
      named(1, ""),     named(running.processId(), ""), named(QCoreApplication::applicationPid(), "preview_")};
  const QStringList kept{parlowvista::uuidText(QUuid::createUuid()) + ".wav",
                         QStringLiteral("parlowvista-%1-notes.wav").arg(ended), named(ended, "") + ".part", "talk.wav"};
  for (const QString& name : left + kept) testsupport::writeFile(tempDir / "tmp" / name.toStdString(), "RIFF");
  const QString folderOfThatName = named(ended, "");
  ASSERT_TRUE(QDir(temporary).mkdir(folderOfThatName));
  const QString held = QDir(temporary).filePath(named(ended, ""));
  ASSERT_EQ(parlowvista::HeldFiles::create(held), "");
  const QString heldAsFirst = QDir(temporary).filePath(named(1, "preview_"));
  ASSERT_EQ(parlowvista::HeldFiles::create(heldAsFirst), "");
  // A download's folder: a gone copy's goes with all in it, though not through a link to a folder
  // elsewhere; one a copy holds stays; so does a link of that name, and what it leads to.
  const auto download = [] { return "yt-download-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); };
  const QString leftDownload = download();
  ASSERT_TRUE(QDir(temporary).mkpath(leftDownload + "/part"));
  testsupport::writeFile(tempDir / "tmp" / leftDownload.toStdString() / "part" / "talk.m4a", "m4a");
  const QString elsewhere = folder("elsewhere");
  testsupport::writeFile(tempDir / "elsewhere" / "keep.m4a", "m4a");
  ASSERT_TRUE(QFile::link(elsewhere, QDir(temporary).filePath(leftDownload + "/part/link")));
  const QString heldDownload = QDir(temporary).filePath(download());
  ASSERT_EQ(parlowvista::HeldFiles::createFolder(heldDownload), "");
  const QString linkedDownload = download();
  ASSERT_TRUE(QFile::link(elsewhere, QDir(temporary).filePath(linkedDownload)));
  const QString fileOfADownloadsName = download();
  testsupport::writeFile(tempDir / "tmp" / fileOfADownloadsName.toStdString(), "m4a");
  const QStringList keptDownloads{linkedDownload, fileOfADownloadsName, "yt-download-notes",
                                  "yt-download-" + QUuid::createUuid().toString(QUuid::WithoutBraces)};
  for (const QString& name : keptDownloads.mid(2)) ASSERT_TRUE(QDir(temporary).mkdir(name));

  {
    Application application(withAnsweringEngine());
    showAndSweep(application);
    const QStringList there = QDir(temporary).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : left + QStringList{leftDownload})
      EXPECT_FALSE(there.contains(name)) << name.toStdString();
    for (const QString& name : kept + keptDownloads + QStringList{folderOfThatName}) {
      EXPECT_TRUE(there.contains(name)) << name.toStdString();
    }
    EXPECT_TRUE(QFileInfo::exists(held));
    EXPECT_TRUE(QFileInfo::exists(heldAsFirst));
    EXPECT_TRUE(QFileInfo(heldDownload).isDir());
    EXPECT_TRUE(QFileInfo::exists(elsewhere + "/keep.m4a"));
  }
  // Let go, they are what a gone copy left.
  parlowvista::HeldFiles::release(held);
  parlowvista::HeldFiles::release(heldAsFirst);
  parlowvista::HeldFiles::release(heldDownload + "/");
  Application again(withAnsweringEngine());
  showAndSweep(again);
  EXPECT_FALSE(QFileInfo::exists(held));
  EXPECT_FALSE(QFileInfo::exists(heldAsFirst));
  EXPECT_FALSE(QFileInfo::exists(heldDownload));
  running.kill();
  running.waitForFinished(timeLeft.atMost(30000));
}

// A second copy that cannot see a running copy's process (one in another container that shares
// the temporary folder; here in a process-id namespace of its own) takes the number in that
// copy's file for a gone copy's: the lock the running copy holds on the file keeps it there. A
// gone copy's file still goes.
TEST_F(ApplicationTest, ACopyThatCannotSeeARunningCopyLeavesItsFileAlone) {
  const auto launcher = testsupport::namespaceLauncher({"--pid", "--fork"});
  if (!launcher)
    GTEST_SKIP() << "This machine lets no test start a copy in a process-id namespace of its own "
                    "(unshare --pid --fork): the lock alone is tested above";
  const QString temporary = folder("tmp");
  ASSERT_TRUE(QDir().mkpath(temporary));
  // The running copy: this process, making an enhancement preview with a tool that takes its time.
  const auto tool = testsupport::writeFile(tempDir / "bin" / "ffmpeg", "#!/bin/sh\nexec sleep 600\n");
  std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
  testsupport::writeFile(tempDir / "in.wav", "RIFF");
  parlowvista::AudioEnhancer enhancer(QString::fromStdString(tool.string()), temporary);
  enhancer.generatePreview(folder("in.wav"), {}, [](const auto&) { ADD_FAILURE() << "answered"; });
  const QStringList writing = QDir(temporary).entryList(QDir::Files);
  ASSERT_EQ(writing.size(), 1);
  const pid_t ended = testsupport::endedProcessId();
  ASSERT_GT(ended, 0);
  const QString gone = pipelinetest::enhancerFileName(ended);
  testsupport::writeFile(tempDir / "tmp" / gone.toStdString(), "RIFF");

  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("PV_OTHER_COPY_FOLDER", folder("other"));
  environment.insert("PV_RUNNING_COPY", QString::number(QCoreApplication::applicationPid()));
  environment.insert("PV_OTHER_COPY_TMPDIR", temporary);
  const testsupport::ChildTestRun other =
      testsupport::runTestsInChild(environment, "ApplicationOtherCopyChildProcess.*", 120000, *launcher);
  EXPECT_TRUE(other.output.contains("[  PASSED  ] 1 test")) << other.output.toStdString();
  const QStringList there = QDir(temporary).entryList(QDir::Files);
  EXPECT_TRUE(there.contains(writing.first())) << there.join(", ").toStdString();
  EXPECT_FALSE(there.contains(gone)) << there.join(", ").toStdString();
}

// The second copy for the test above: it starts over a library of its own, the running copy's
// process out of its sight.
TEST(ApplicationOtherCopyChildProcess, StartsWithoutSeeingTheRunningCopy) {
  const QString folder = qEnvironmentVariable("PV_OTHER_COPY_FOLDER");
  ASSERT_FALSE(folder.isEmpty());
  ASSERT_NE(::kill(static_cast<pid_t>(qEnvironmentVariableIntValue("PV_RUNNING_COPY")), 0), 0)
      << "the running copy is in sight";
  const testsupport::ScopedSettingsFolder settings(folder + "/config");
  // The temporary folder both copies share (not the test program's own run folder inside it).
  const testsupport::ScopedEnv temporary("TMPDIR", qEnvironmentVariable("PV_OTHER_COPY_TMPDIR").toStdString());
  Application application(Application::Environment(folder + "/share", "com.lanternhollow.tests.othercopy",
                                                   std::make_shared<pipelinetest::FakeEngine>()));
  showAndSweep(application);
}

// A copy that runs as the first process of a process-id namespace of its own (a container's
// main process) names its files "parlowvista-1-…", as if it were the machine's first process,
// which always runs here. While it enhances, its lock keeps its file; once it is killed, the
// next start removes the file, which nothing else would ever do.
TEST_F(ApplicationTest, AKilledCopyThatRanAsAContainersFirstProcessLeavesNothingForGood) {
  QString whyNot;
  const auto launcher = testsupport::namespaceLauncher({"--pid", "--fork"}, &whyNot);
  if (!launcher)
    GTEST_SKIP() << "This machine lets no test start a copy in a process-id namespace of its own (unshare --pid "
                    "--fork: "
                 << whyNot.toStdString() << "): the lock alone is tested above";
  const QString temporary = folder("tmp");
  ASSERT_TRUE(QDir().mkpath(temporary));
  const testsupport::ScopedEnv tmpdir("TMPDIR", temporary.toStdString());
  const auto tool = testsupport::writeFile(tempDir / "bin" / "ffmpeg", "#!/bin/sh\nexec sleep 600\n");
  std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
  testsupport::writeFile(tempDir / "in.wav", "RIFF");
  QProcessEnvironment copysEnvironment = QProcessEnvironment::systemEnvironment();
  copysEnvironment.insert("PV_FIRST_FOLDER", folder(""));
  // What the killed copy's test program leaves of its own goes with this test's folder.
  copysEnvironment.insert("TMPDIR", folder("child"));
  ASSERT_TRUE(QDir().mkpath(folder("child")));
  QProcess copy;
  QByteArray output;
  ASSERT_TRUE(startChildUntil(copy, copysEnvironment, "ApplicationFirstProcessChildProcess.*", "enhancing\n", output,
                              120000, *launcher))
      << output.toStdString();
  const QStringList written = QDir(temporary).entryList(QDir::Files);
  ASSERT_EQ(written.size(), 1);
  EXPECT_TRUE(written.first().startsWith("parlowvista-1-")) << written.first().toStdString();
  {
    Application running(withAnsweringEngine());
    showAndSweep(running);
  }
  EXPECT_EQ(QDir(temporary).entryList(QDir::Files), written);

  // The namespace's first process (the launcher's child); its end ends all in the namespace.
  const QList<qint64> first = testsupport::childProcessesOf(copy.processId());
  ASSERT_EQ(first.size(), 1);
  ::kill(static_cast<pid_t>(first.first()), SIGKILL);
  ASSERT_TRUE(copy.waitForFinished(timeLeft.atMost(30000)));
  EXPECT_EQ(QDir(temporary).entryList(QDir::Files), written);
  {
    Application next(withAnsweringEngine());
    showAndSweep(next);
  }
  EXPECT_EQ(QDir(temporary).entryList(QDir::Files).join(", ").toStdString(), "");
}

// The copy for the test above: this program as the first process of its namespace,
// making an enhancement preview with a tool that takes its time, until it is killed.
TEST(ApplicationFirstProcessChildProcess, EnhancesUntilKilled) {
  const QString folder = qEnvironmentVariable("PV_FIRST_FOLDER");
  ASSERT_FALSE(folder.isEmpty());
  ASSERT_EQ(QCoreApplication::applicationPid(), 1);
  parlowvista::AudioEnhancer enhancer(folder + "/bin/ffmpeg", folder + "/tmp");
  enhancer.generatePreview(folder + "/in.wav", {}, [](const auto&) { ADD_FAILURE() << "answered"; });
  ASSERT_EQ(QDir(folder + "/tmp").entryList(QDir::Files).size(), 1);
  std::cout << "enhancing" << std::endl;
  testsupport::waitUntil([] { return false; }, 300000);
}

// A $TMPDIR that names no folder: QDir::tempPath() is then empty, which names the working folder.
// The start's sweep leaves the working folder alone, and enhancing still works, its files in
// /tmp, none of them in the working folder. What it makes there (a preview of the user's
// recording) no other user can read, whatever the umask.
TEST_F(ApplicationTest, WithATemporaryFolderThatIsNotThereNothingGoesToTheWorkingFolder) {
  const testsupport::ScopedUmask usual(022);
  const testsupport::ScopedEnv tmpdir("TMPDIR", folder("missing").toStdString());
  pipelinetest::writeFloatWav(tempDir / "talk.wav", pipelinetest::twoVoices(3.0, {}));
  const QString work = folder("work");
  ASSERT_TRUE(QDir().mkpath(work));
  const pid_t ended = testsupport::endedProcessId();
  ASSERT_GT(ended, 0);
  const QString leftLookalike = pipelinetest::enhancerFileName(ended);
  testsupport::writeFile(tempDir / "work" / leftLookalike.toStdString(), "RIFF");
  struct WorkingFolder {
    QString before = QDir::currentPath();
    ~WorkingFolder() { QDir::setCurrent(before); }
  } restored;
  ASSERT_TRUE(QDir::setCurrent(work));

  Application application(Application::Environment(folder("share"), QStringLiteral("com.lanternhollow.tests.tmpdir"),
                                                   std::make_shared<pipelinetest::FakeEngine>()));
  showAndSweep(application);
  EXPECT_EQ(QDir(work).entryList(QDir::Files).join(", ").toStdString(), leftLookalike.toStdString());
  auto& vm = application.viewModel();
  ASSERT_TRUE(testsupport::waitUntil([&] { return vm.state().kind() == ProcessingState::Kind::modelsReady; }, 30000));
  ASSERT_TRUE(testsupport::waitUntil([&] { return vm.isEnhancerAvailable(); }));
  AudioEnhancementSettings enhancement;
  enhancement.enabled = true;
  vm.setAudioEnhancement(enhancement);
  vm.processFile(QUrl::fromLocalFile(folder("talk.wav")));
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return !vm.isBusy() && vm.state().kind() != ProcessingState::Kind::processing; }, 60000));
  ASSERT_EQ(vm.state().kind(), ProcessingState::Kind::completed) << vm.statusMessage().toStdString();
  const auto logs = vm.logs();
  EXPECT_TRUE(std::any_of(logs.begin(), logs.end(),
                          [](const auto& entry) { return entry.message == "Audio enhanced successfully"; }));
  vm.generateEnhancementPreview();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !vm.isGeneratingPreview(); }, 30000));
  const QFileInfo preview(vm.previewEnhancedURL().toLocalFile());
  EXPECT_TRUE(preview.exists()) << preview.filePath().toStdString();
  EXPECT_EQ(preview.absolutePath().toStdString(), "/tmp");
  EXPECT_EQ(testsupport::permissionsOf(preview.filePath().toStdString()), 0600);
  if (const auto readable = testsupport::nobodyCanRead(preview.filePath().toStdString())) {
    EXPECT_FALSE(*readable);
  }
  EXPECT_EQ(QDir(work).entryList(QDir::Files).join(", ").toStdString(), leftLookalike.toStdString());
}

// A start's sweep costs the window nothing: it begins only once the window is shown, and runs
// beside it, on a thread of its own. Held at its start, it has removed nothing while the window's
// thread takes its events; let go, it goes while the window's thread takes none.
TEST_F(ApplicationTest, TheSweepBeginsOnceTheWindowIsShownAndRunsBesideIt) {
  SweepGate gate;
  const QString temporary = folder("tmp");
  ASSERT_TRUE(QDir().mkpath(temporary));
  const testsupport::ScopedEnv tmpdir("TMPDIR", temporary.toStdString());
  const pid_t ended = testsupport::endedProcessId();
  ASSERT_GT(ended, 0);
  const QString preview = QDir(temporary).filePath(pipelinetest::enhancerFileName(ended, "preview_"));
  testsupport::writeFile(preview.toStdString(), "RIFF");
  const QString download = QDir(temporary).filePath(downloadFolderName());
  testsupport::writeFile((download + "/talk.m4a").toStdString(), "m4a");

  Application application(withAnsweringEngine());
  EXPECT_EQ(application.leftoverSweep(), nullptr);
  EXPECT_TRUE(QFileInfo::exists(preview));
  EXPECT_TRUE(QFileInfo::exists(download));
  application.appSettings().setHasCompletedOnboarding(true);
  application.showMainWindow();
  EXPECT_TRUE(application.mainWindow()->isVisible());
  ASSERT_NE(application.leftoverSweep(), nullptr);
  ASSERT_TRUE(testsupport::waitUntil([&] { return gate.reached(); }, 20000));
  EXPECT_NE(gate.sweeper(), std::this_thread::get_id());
  QCoreApplication::processEvents();
  EXPECT_TRUE(QFileInfo::exists(preview));
  EXPECT_TRUE(QFileInfo::exists(download));
  EXPECT_FALSE(application.leftoverSweep()->isFinished());
  gate.open();
  const auto swept = [&] {
    return application.leftoverSweep()->isFinished() && !QFileInfo::exists(preview) && !QFileInfo::exists(download);
  };
  for (int wait = 0; wait < 12000 && !swept(); ++wait) QThread::msleep(10);
  EXPECT_TRUE(swept());
}

// Quitting while the sweep runs (a deep leftover folder and many files to go, the sweep held at
// its start on its own thread) stops it: it is not waited for, it removes nothing from then on,
// and once the application has gone nothing more is removed. A later start removes what is left.
TEST_F(ApplicationTest, QuittingWhileTheSweepRunsEndsIt) {
  SweepGate gate;
  const testsupport::DeepTreeFolder tmp;
  const QString temporary = QString::fromStdString(tmp.path().string());
  const testsupport::ScopedEnv tmpdir("TMPDIR", temporary.toStdString());
  const pid_t ended = testsupport::endedProcessId();
  ASSERT_GT(ended, 0);
  const std::filesystem::path deep = tmp / downloadFolderName().toStdString();
  ASSERT_TRUE(testsupport::makeDeepFolder(deep, 20000));
  for (int i = 0; i < 2000; ++i)
    testsupport::writeFile(tmp / pipelinetest::enhancerFileName(ended).toStdString(), "RIFF");
  const auto left = [&] {
    return QDir(temporary).entryList({"parlowvista-*"}, QDir::Files).size() + testsupport::depthOf(deep);
  };
  const auto leftAtTheStart = left();
  {
    Application application(withAnsweringEngine());
    application.appSettings().setHasCompletedOnboarding(true);
    application.showMainWindow();
    ASSERT_TRUE(testsupport::waitUntil([&] { return gate.reached(); }, 20000));
    EXPECT_NE(gate.sweeper(), std::this_thread::get_id());
  }
  EXPECT_TRUE(gate.stoppedWhileHeld());
  const auto leftAtTheEnd = left();
  EXPECT_EQ(leftAtTheEnd, leftAtTheStart);
  QThread::msleep(200);
  EXPECT_EQ(left(), leftAtTheEnd);
  gate.open();
  {
    Application again(withAnsweringEngine());
    showAndSweep(again);
  }
  EXPECT_EQ(left(), 0);
}

// A leftover download folder far deeper than a path may be long goes at a start, without a
// crash, where a process may open 1024 descriptors and its threads have a small stack: a removal
// by recursion, or one that held a descriptor for each level, would end every start, or leave the
// folder for good.
TEST_F(ApplicationTest, ALeftoverOfAnyDepthGoesAtAStart) {
  const testsupport::DeepTreeFolder tmp;
  const QString temporary = QString::fromStdString(tmp.path().string());
  const std::filesystem::path deep = tmp / downloadFolderName().toStdString();
  constexpr int kLevels = 20000;
  ASSERT_TRUE(testsupport::makeDeepFolder(deep, kLevels));
  ASSERT_EQ(testsupport::depthOf(deep), kLevels);
  ASSERT_TRUE(QDir().mkpath(folder("child")));
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("PV_DEEP_FOLDER", folder(""));
  environment.insert("PV_DEEP_TMPDIR", temporary);
  environment.insert("TMPDIR", folder("child"));
  const testsupport::ChildTestRun start =
      testsupport::runTestsInChild(environment, "ApplicationDeepLeftoverChildProcess.*", timeLeft.atMost(300000),
                                   {"prlimit", "--nofile=1024", "--stack=1048576", "--"});
  EXPECT_EQ(start.exitStatus, QProcess::NormalExit) << start.output.toStdString();
  EXPECT_TRUE(start.output.contains("[  PASSED  ] 1 test")) << start.output.toStdString();
  EXPECT_EQ(testsupport::depthOf(deep), 0);
}

// The start for the test above, over the temporary folder PV_DEEP_TMPDIR names.
TEST(ApplicationDeepLeftoverChildProcess, SweepsAtTheStart) {
  const QString folder = qEnvironmentVariable("PV_DEEP_FOLDER");
  ASSERT_FALSE(folder.isEmpty());
  const testsupport::ScopedSettingsFolder settings(folder + "/config");
  const testsupport::ScopedEnv temporary("TMPDIR", qEnvironmentVariable("PV_DEEP_TMPDIR").toStdString());
  Application application(Application::Environment(folder + "/share", "com.lanternhollow.tests.deep",
                                                   std::make_shared<pipelinetest::FakeEngine>()));
  showAndSweep(application);
}

}  // namespace
