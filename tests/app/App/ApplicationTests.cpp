#include "App/Application.h"

#include "Models/AppSettings.h"
#include "Models/StoredSegment.h"
#include "Models/StoredSpeaker.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Models/UuidText.h"
#include "Services/AudioEnhancer.h"
#include "Services/HeldFiles.h"
#include "Services/KeychainService.h"
#include "Services/LibraryActions.h"
#include "Services/Translation/TranslationService.h"
#include "Services/Translation/TranslationSettings.h"
#include "Store/ModelContext.h"
#include "Store/Statement.h"
#include "Store/StoreError.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Player/YouTubePlayerView.h"
#include "Views/Shell/MainWindow.h"
#include "Views/Shell/ProcessingScreens.h"
#include "Views/Workspace/InlineTextEditor.h"
#include "Views/Workspace/ResultsView.h"
#include "Views/Workspace/SegmentListView.h"
#include "Views/Workspace/SegmentRowEditor.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/ChildTestRun.h"
#include "support/Namespaces.h"
#include "support/Processes.h"
#include "support/QtWait.h"
#include "support/ScopedEnv.h"
#include "support/ScopedSettingsFolder.h"
#include "support/Spawn.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSessionManager>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <QToolButton>
#include <QWebEngineProfile>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using parlowvista::Application;
using parlowvista::AppSettings;
using parlowvista::AudioEnhancementSettings;
using parlowvista::ProcessingState;
using parlowvista::StoreError;

namespace {

// Starts this program's tests of `filter` in `child` (after `launcher`, when given) and waits
// until it writes `line`: true once it has. What it wrote is added to `output`.
bool startChildUntil(QProcess& child, QProcessEnvironment environment, const QString& filter, const QByteArray& line,
                     QByteArray& output, int timeoutMs, QStringList launcher = {}) {
  environment.insert(testsupport::kChildRunVariable, "1");
  child.setProcessEnvironment(environment);
  child.setProcessChannelMode(QProcess::MergedChannels);
  launcher << QCoreApplication::applicationFilePath() << "--gtest_filter=" + filter;
  child.start(launcher.takeFirst(), launcher);
  testsupport::waitUntil(
      [&] {
        child.waitForReadyRead(100);
        output += child.readAll();
        return output.contains(line) || child.state() == QProcess::NotRunning;
      },
      timeoutMs);
  return output.contains(line);
}

class ApplicationTest : public testsupport::TempDirTest {
 protected:
  // Settings of the test's own, in its folder, until it ends.
  testsupport::ScopedSettingsFolder settingsFolder{folder("config")};

  void SetUp() override { QSettings().clear(); }

  QString folder(const std::string& name) const { return QString::fromStdString((tempDir / name).string()); }
  Application::Environment environment() const {
    return {folder("share"), QStringLiteral("com.lanternhollow.tests.%1").arg(QCoreApplication::applicationPid()),
            nullptr};
  }
};

TEST_F(ApplicationTest, BuildsEveryServiceOverItsOwnFoldersAndOpensTheStore) {
  Application application(environment());
  EXPECT_EQ(application.appSettings().libraryLocation(), folder("share") + "/Parlowvista");
  EXPECT_TRUE(QFileInfo::exists(folder("share") + "/Parlowvista/Parlowvista.store"));
  EXPECT_EQ(application.keychain().serviceName(), environment().keychainServiceName);
  EXPECT_EQ(&application.translationSettings().keychain(), &application.keychain());
  EXPECT_EQ(&application.translationService().settings(), &application.translationSettings());
  EXPECT_EQ(application.mainWindow(), nullptr);
  const parlowvista::PlayerPageHost host = application.playerPageHost();
  EXPECT_EQ(&host.server, &application.localHTTPServer());
  EXPECT_EQ(&host.profile, &application.playerProfile());
  EXPECT_TRUE(host.profile.isOffTheRecord());
  // The library may delete downloaded online-video audio (beside the library) and nothing of the user's.
  const QString downloaded = QString::fromStdString(
      testsupport::writeFile(tempDir / "share" / "Parlowvista" / "YouTubeDownloads" / "talk.m4a", "x").string());
  const QString own = QString::fromStdString(testsupport::writeFile(tempDir / "Music" / "talk.m4a", "x").string());
  EXPECT_TRUE(application.libraryActions().isOwnedFile(downloaded));
  EXPECT_FALSE(application.libraryActions().isOwnedFile(own));

  const Application::Environment user = Application::Environment::user();
  EXPECT_EQ(user.keychainServiceName, "com.lanternhollow.translation");
  EXPECT_EQ(user.applicationSupportRoot, AppSettings::defaultApplicationSupportRoot());
  // Samples go to the user's cache folder; the documents folder, where they used to go, is
  // still read.
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  EXPECT_EQ(user.sampleCacheDirectory,
            QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + "/Parlowvista/AudioCache");
  EXPECT_EQ(user.earlierSampleCacheDirectories, QStringList{documents + "/Parlowvista/AudioCache"});
}

TEST_F(ApplicationTest, SamplesCachedWhereEarlierVersionsKeptThemAreTheApplicationsToDelete) {
  Application::Environment local = environment();
  local.sampleCacheDirectory = folder("cache/Parlowvista/AudioCache");
  local.earlierSampleCacheDirectories = {folder("Documents/Parlowvista/AudioCache"), QString()};
  Application application(local);
  const QString earlier = QString::fromStdString(
      testsupport::writeFile(tempDir / "Documents" / "Parlowvista" / "AudioCache" / "A.samples", "x").string());
  const QString other = QString::fromStdString(testsupport::writeFile(tempDir / "notes.txt", "x").string());
  EXPECT_TRUE(application.libraryActions().isOwnedFile(earlier));
  // An empty entry names no folder (not the working folder).
  const QString workingFolder = QDir::currentPath();
  QDir::setCurrent(folder(""));
  EXPECT_FALSE(application.libraryActions().isOwnedFile(other));
  QDir::setCurrent(workingFolder);
}

TEST_F(ApplicationTest, SettingsAssignedJustBeforeGoingAwayReachTheDisk) {
  QString file;
  {
    Application application(environment());
    application.appSettings().setAutoSaveInterval(7.5);
    application.appSettings().setDefaultMaxSubtitleChars(77);
    file = application.appSettings().store().fileName();
  }
  ASSERT_TRUE(file.startsWith(folder("config"))) << file.toStdString();
  // The file itself, not a QSettings over it: those share one cache inside the process.
  QFile stored(file);
  ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
  const QByteArray text = stored.readAll();
  EXPECT_TRUE(text.contains("autoSaveInterval=7.5")) << text.toStdString();
  EXPECT_TRUE(text.contains("defaultMaxSubtitleChars=77")) << text.toStdString();
}

TEST_F(ApplicationTest, AStoreThatCannotBeOpenedIsReported) {
  testsupport::writeFile(tempDir / "share" / "Parlowvista" / "Parlowvista.store", "not a store at all");
  EXPECT_THROW(Application{environment()}, StoreError);
}

// A copy started while another holds the library: one that is ending (it lets the library go a
// second later, as a copy whose window has just gone does) is waited for, and the library opens;
// one that stays is refused, in plain words, within seconds.
TEST_F(ApplicationTest, ASecondCopyWaitsForOneThatIsEndingAndIsToldInPlainWordsOfOneThatStays) {
  {
    QProcessEnvironment holding = QProcessEnvironment::systemEnvironment();
    holding.insert("PV_HOLD_FOLDER", folder(""));
    QProcess ending;
    QByteArray output;
    ASSERT_TRUE(startChildUntil(ending, holding, "ApplicationHoldChildProcess.*", "holding\n", output, 60000))
        << output.toStdString();
    EXPECT_NO_THROW(Application{environment()});
    EXPECT_TRUE(ending.waitForFinished(30000));
    output += ending.readAll();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
  }
  Application first(environment());
  QElapsedTimer refused;
  refused.start();
  try {
    Application second(environment());
    FAIL() << "a second opener was let in";
  } catch (const StoreError& error) {
    // Told after the store's wait of a few seconds, long enough for a copy that is ending, not
    // after a minute. SQLite counts that wait by the sleeps it asks for, so a loaded machine
    // lengthens it only by how late each of them wakes: the bound leaves it room many times over.
    EXPECT_LT(refused.elapsed(), 45000);
    EXPECT_EQ(error.kind(), StoreError::Kind::inUse);
    const QString message = Application::storeFailureMessage(error);
    EXPECT_TRUE(message.startsWith("Could not create ModelContainer: ")) << message.toStdString();
    EXPECT_TRUE(message.contains("already open in another copy of Parlowvista")) << message.toStdString();
  }
  const StoreError other(StoreError::Kind::incompatibleSchema, QStringLiteral("not a store"));
  EXPECT_EQ(Application::storeFailureMessage(other), "Could not create ModelContainer: not a store");
}

// The copy that is ending, for the test above: it opens the library in PV_HOLD_FOLDER, says so,
// and lets it go a second later.
TEST(ApplicationHoldChildProcess, HoldsTheLibraryForASecond) {
  const QString folder = qEnvironmentVariable("PV_HOLD_FOLDER");
  ASSERT_FALSE(folder.isEmpty());
  const testsupport::ScopedSettingsFolder settings(folder + "/config");
  const Application application(Application::Environment(folder + "/share", "com.lanternhollow.tests.hold"));
  std::cout << "holding" << std::endl;
  QThread::msleep(1000);
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
    const Application application(environment());
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
  const Application again(environment());
  EXPECT_FALSE(QFileInfo::exists(held));
  EXPECT_FALSE(QFileInfo::exists(heldAsFirst));
  EXPECT_FALSE(QFileInfo::exists(heldDownload));
  running.kill();
  running.waitForFinished();
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
  const Application application(Application::Environment(folder + "/share", "com.lanternhollow.tests.othercopy"));
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
  { const Application running(environment()); }
  EXPECT_EQ(QDir(temporary).entryList(QDir::Files), written);

  // The namespace's first process (the launcher's child); its end ends all in the namespace.
  const QList<qint64> first = testsupport::childProcessesOf(copy.processId());
  ASSERT_EQ(first.size(), 1);
  ::kill(static_cast<pid_t>(first.first()), SIGKILL);
  ASSERT_TRUE(copy.waitForFinished(30000));
  EXPECT_EQ(QDir(temporary).entryList(QDir::Files), written);
  { const Application next(environment()); }
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
// /tmp, none of them in the working folder.
TEST_F(ApplicationTest, WithATemporaryFolderThatIsNotThereNothingGoesToTheWorkingFolder) {
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
  EXPECT_EQ(QDir(work).entryList(QDir::Files).join(", ").toStdString(), leftLookalike.toStdString());
  ASSERT_NE(Application::ensureDefaultGroup(application.modelContext(), application.appSettings()), nullptr);
  auto& vm = application.viewModel();
  vm.initializeModels();
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
  EXPECT_EQ(QDir(work).entryList(QDir::Files).join(", ").toStdString(), leftLookalike.toStdString());
}

// The program itself, started as a user starts it with nothing in its environment about the
// web engine's sandbox: as root it turns the sandbox off itself (Chromium would end the process
// at the first page) and says so; anyone else keeps it. Its $TMPDIR is relative (".", the
// working folder): the program and the tools it starts take /tmp instead, and say so. (The
// yt-dlp found first asks Python where its temporary files would go, as yt-dlp's do.)
TEST_F(ApplicationTest, TheProgramSetsUpItsProcessAsStartedTheSandboxOffOnlyAsRootAndAUsableTemporaryFolder) {
  const QString home = folder("home");
  QDir().mkpath(home + "/runtime");
  QFile::setPermissions(home + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  const QString work = folder("work");
  QDir().mkpath(work);
  const QString asked = folder("tool-temporary-folder");
  const auto tool = testsupport::writeFile(tempDir / "bin" / "yt-dlp",
                                           "#!/bin/sh\npython3 -c 'import tempfile; print(tempfile.gettempdir())' > '" +
                                               asked.toStdString() + ".part'\nmv '" + asked.toStdString() + ".part' '" +
                                               asked.toStdString() + "'\necho 2099.01.01\n");
  std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
  QProcessEnvironment environment;
  environment.insert("PATH", folder("bin") + ":" + qEnvironmentVariable("PATH"));
  environment.insert("HOME", home);
  environment.insert("XDG_RUNTIME_DIR", home + "/runtime");
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  environment.insert("REGISTRY_URL", "http://127.0.0.1:9");  // no model is fetched from anywhere
  environment.insert("TMPDIR", ".");
  QProcess program;
  program.setProcessEnvironment(environment);
  program.setProcessChannelMode(QProcess::MergedChannels);
  program.setWorkingDirectory(work);
  program.start(QStringLiteral(PV_APP_PROGRAM), QStringList{});
  ASSERT_TRUE(program.waitForStarted(10000)) << program.errorString().toStdString();
  // Its library open, the program is long past the start-up that decides; the tool has answered.
  const bool started = testsupport::waitUntil(
      [&] {
        return program.state() != QProcess::Running ||
               (QFileInfo::exists(home + "/.local/share/Parlowvista/Parlowvista.store") && QFileInfo::exists(asked));
      },
      60000);
  const bool running = program.state() == QProcess::Running;
  program.terminate();
  if (!program.waitForFinished(10000)) program.kill(), program.waitForFinished();
  const QString output = QString::fromLocal8Bit(program.readAll());
  ASSERT_TRUE(started && running) << output.toStdString();
  EXPECT_EQ(output.contains("[Parlowvista] Running as root: the web engine's sandbox is turned off"), ::geteuid() == 0)
      << output.toStdString();
  EXPECT_TRUE(output.contains("[Parlowvista] TMPDIR (.) names no folder to use: temporary files go to /tmp"))
      << output.toStdString();
  EXPECT_EQ(testsupport::readFile(asked.toStdString()), "/tmp\n");
  EXPECT_EQ(QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).join(", ").toStdString(), "");
}

TEST_F(ApplicationTest, TheFirstStartMakesTheGeneralGroupAndLaterStartsKeepTheLibrary) {
  QUuid general;
  {
    Application application(environment());
    auto* group = Application::ensureDefaultGroup(application.modelContext(), application.appSettings());
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->name(), "General");
    general = group->id();
    EXPECT_EQ(application.appSettings().lastUsedGroupId(), general);
    auto* other = application.modelContext().insert(std::make_unique<parlowvista::TranscriptGroup>("Talks", 1));
    application.modelContext().save();
    application.appSettings().setLastUsedGroupId(other->id());
  }
  Application again(environment());
  auto* group = Application::ensureDefaultGroup(again.modelContext(), again.appSettings());
  EXPECT_EQ(group->name(), "Talks");
  EXPECT_EQ(again.modelContext().fetch<parlowvista::TranscriptGroup>().size(), 2);
}

// The application as main() runs it, over the folder PV_END_FOLDER names, with a speech engine
// that answers at once: a file is transcribed, one row's edit confirmed with its editor's save
// button, a speaker renamed and another row's text typed and left open in its editor; then
// "ready" goes to standard output and the application runs on until something ends it. The
// autosave is not due for ten seconds. With PV_END_FULL_DISK the store takes nothing more once
// the file is in; with PV_END_SESSION_REQUEST the session manager asks to save before "ready".
TEST(ApplicationEndChildProcess, EditsThenRunsUntilEnded) {
  using namespace parlowvista;
  const QString folder = qEnvironmentVariable("PV_END_FOLDER");
  ASSERT_FALSE(folder.isEmpty());
  const testsupport::ScopedSettingsFolder settingsFolder(folder + "/config");
  {
    QSettings settings;
    settings.setValue("hasCompletedOnboarding", true);
    settings.setValue("autoSaveInterval", 10.0);
  }
  const QString wav = folder + "/talk.wav";
  pipelinetest::writeFloatWav(wav.toStdString(), pipelinetest::twoVoices(3.0));
  const bool fullDisk = qEnvironmentVariableIsSet("PV_END_FULL_DISK");
  const Application::Environment environment(folder + "/share", QStringLiteral("com.lanternhollow.tests.end"),
                                             std::make_shared<pipelinetest::FakeEngine>(), folder + "/cache");
  const int status = Application::run(environment, [&](Application& application) {
    MainWindow& window = *application.mainWindow();
    TranscriptionViewModel& vm = application.viewModel();
    using Screen = ProcessingScreens::Screen;
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.processingScreens()->screen() == Screen::ready; }, 30000));
    window.importFiles({QUrl::fromLocalFile(wav)});
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return window.processingScreens()->screen() == Screen::workspace && !vm.isBusy(); }, 60000));
    if (fullDisk) {
      ASSERT_TRUE(pipelinetest::fillTheDisk(application.modelContext().database()));
    }
    SegmentListView* list = window.resultsView()->listView();
    const QList<TranscribedSegment> segments = vm.state().result()->segments;
    ASSERT_EQ(segments.size(), 2);
    list->startEditing(segments[0].id);
    ASSERT_NE(list->activeEditor(), nullptr);
    // (On a full disk, more than the room left in the store's pages.)
    list->activeEditor()->editor()->setPlainText(fullDisk ? QString(20000, 'x') : QStringLiteral("confirmed edit"));
    list->activeEditor()->saveButton()->click();
    vm.renameSpeaker(segments[0].speakerId, QStringLiteral("Ann"));
    list->startEditing(segments[1].id);
    ASSERT_NE(list->activeEditor(), nullptr);
    QWidget* typing = list->activeEditor()->editor();
    QTest::keyClick(typing, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(typing, QStringLiteral("typed and left open"));
    if (qEnvironmentVariableIsSet("PV_END_SESSION_REQUEST")) {
      auto* manager = qApp->findChild<QSessionManager*>();
      ASSERT_NE(manager, nullptr);
      emit qApp->commitDataRequest(*manager);
    }
    if (qEnvironmentVariableIsSet("PV_END_SECOND_SIGNAL")) {
      // The ending holds on until the parent has sent a second signal.
      QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&] {
        std::cout << "quitting" << std::endl;
        QElapsedTimer clock;
        clock.start();
        while (!QFileInfo::exists(folder + "/second-sent") && clock.elapsed() < 60000) QThread::msleep(5);
      });
    }
    std::cout << "ready" << std::endl;
  });
  EXPECT_EQ(status, 0);
}

// SIGTERM (a shutdown or a logout), SIGHUP (a closed terminal) and SIGINT (Ctrl+C) end the
// application as Quit does, and the session manager's request before the desktop session ends
// saves everything without asking: the edits of the last moments are in the store, which passes
// its integrity check, also when the process is then killed. A second signal at once does not
// cut the quitting short. A disk that is full is said on standard error, nothing stops the
// ending to ask, and the store keeps what it held.
TEST_F(ApplicationTest, TheLastEditsAreStoredWhenASignalOrTheSessionsEndEndsTheApplication) {
  using namespace parlowvista;
  struct Case {
    const char* name;
    int sent;
    int sentWhileQuitting = 0;
    bool sessionRequest = false;
    bool fullDisk = false;
  };
  const Case cases[] = {
      {"SIGTERM", SIGTERM, SIGTERM},
      {"SIGHUP", SIGHUP, SIGHUP},
      {"SIGINT", SIGINT, SIGINT},
      {"the session manager's request, then SIGKILL", SIGKILL, 0, true},
      {"SIGTERM onto a full disk", SIGTERM, 0, false, true},
      {"the session manager's request onto a full disk, then SIGKILL", SIGKILL, 0, true, true},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString run = folder("end" + std::to_string(index++));
    ASSERT_TRUE(QDir().mkpath(run));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(testsupport::kChildRunVariable, "1");
    environment.insert("PV_END_FOLDER", run);
    environment.insert("TMPDIR", run);  // a child that is killed leaves its temporary files there
    if (c.sessionRequest) environment.insert("PV_END_SESSION_REQUEST", "1");
    if (c.fullDisk) environment.insert("PV_END_FULL_DISK", "1");
    if (c.sentWhileQuitting) environment.insert("PV_END_SECOND_SIGNAL", "1");
    const QString log = run + "/child.log";
    const auto output = [&] { return QString::fromStdString(testsupport::readFile(log.toStdString())); };
    testsupport::Spawned child(QCoreApplication::applicationFilePath(), {"--gtest_filter=ApplicationEndChildProcess.*"},
                               log, environment);
    ASSERT_TRUE(testsupport::waitUntil([&] { return output().contains("ready\n") || !child.isRunning(); }, 120000));
    ASSERT_TRUE(child.isRunning()) << output().toStdString();
    ::kill(child.pid(), c.sent);
    if (c.sentWhileQuitting) {
      ASSERT_TRUE(testsupport::waitUntil([&] { return output().contains("quitting\n") || !child.isRunning(); }, 60000));
      ::kill(child.pid(), c.sentWhileQuitting);
      testsupport::writeFile((run + "/second-sent").toStdString(), "");
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return !child.isRunning(); }, 60000)) << output().toStdString();
    if (c.sent != SIGKILL) {
      // It quit to the end, and then ended by the signal, as whoever sent it expects.
      EXPECT_TRUE(output().contains("[  PASSED  ] 1 test")) << output().toStdString();
      EXPECT_EQ(child.endingSignal(), c.sent);
    }
    EXPECT_EQ(output().contains("the latest changes could not be saved (The disk is full)"), c.fullDisk)
        << output().toStdString();

    ModelContext store(run + "/share/Parlowvista/Parlowvista.store");
    Statement check = store.database().prepare("PRAGMA integrity_check");
    ASSERT_EQ(check.step(), Statement::Step::row);
    EXPECT_EQ(check.text(0), "ok");
    const auto versions = store.fetch<Transcription>();
    ASSERT_EQ(versions.size(), 1);
    QStringList texts;
    for (const auto* segment : versions[0]->sortedSegments()) texts << segment->text();
    EXPECT_EQ(texts.join(" | ").toStdString(), c.fullDisk ? "hello | world" : "confirmed edit | typed and left open");
    QStringList names;
    for (const auto* speaker : versions[0]->speakers()) names << speaker->customName().value_or(QString());
    EXPECT_EQ(names.join(" | ").toStdString(), c.fullDisk ? "" : "Ann");
  }
}

}  // namespace
