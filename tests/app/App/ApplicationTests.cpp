#include "App/Application.h"

#include "Models/AppSettings.h"
#include "Models/StoredSegment.h"
#include "Models/StoredSpeaker.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
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
#include "app/App/ApplicationTestSupport.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/QtWait.h"
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

#include <csignal>
#include <iostream>

#include <unistd.h>

using parlowvista::Application;
using parlowvista::AppSettings;
using parlowvista::StoreError;

namespace {

using apptest::ApplicationTest;
using apptest::startChildUntil;

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
