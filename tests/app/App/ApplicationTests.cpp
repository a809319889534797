#include "App/Application.h"

#include "Models/AppSettings.h"
#include "Models/TranscriptGroup.h"
#include "Services/KeychainService.h"
#include "Services/LibraryActions.h"
#include "Services/Translation/TranslationService.h"
#include "Services/Translation/TranslationSettings.h"
#include "Store/ModelContext.h"
#include "Store/StoreError.h"
#include "Views/Player/YouTubePlayerView.h"
#include "support/QtWait.h"
#include "support/ScopedSettingsFolder.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QWebEngineProfile>

#include <gtest/gtest.h>

#include <unistd.h>

using parlowvista::Application;
using parlowvista::AppSettings;
using parlowvista::StoreError;

namespace {

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

TEST_F(ApplicationTest, ASecondCopyIsToldTheLibraryIsInUseInPlainWords) {
  Application first(environment());
  try {
    Application second(environment());
    FAIL() << "a second opener was let in";
  } catch (const StoreError& error) {
    EXPECT_EQ(error.kind(), StoreError::Kind::inUse);
    const QString message = Application::storeFailureMessage(error);
    EXPECT_TRUE(message.startsWith("Could not create ModelContainer: ")) << message.toStdString();
    EXPECT_TRUE(message.contains("already open in another copy of Parlowvista")) << message.toStdString();
  }
  const StoreError other(StoreError::Kind::incompatibleSchema, QStringLiteral("not a store"));
  EXPECT_EQ(Application::storeFailureMessage(other), "Could not create ModelContainer: not a store");
}

// The program itself, started as a user starts it with nothing in its environment about the
// web engine's sandbox: as root it turns the sandbox off itself (Chromium would end the process
// at the first page) and says so; anyone else keeps it.
TEST_F(ApplicationTest, TheProgramTurnsTheWebEngineSandboxOffWhenStartedAsRootAndOnlyThen) {
  const QString home = folder("home");
  QDir().mkpath(home + "/runtime");
  QFile::setPermissions(home + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  QProcessEnvironment environment;
  environment.insert("PATH", qEnvironmentVariable("PATH"));
  environment.insert("HOME", home);
  environment.insert("XDG_RUNTIME_DIR", home + "/runtime");
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  environment.insert("REGISTRY_URL", "http://127.0.0.1:9");  // no model is fetched from anywhere
  QProcess program;
  program.setProcessEnvironment(environment);
  program.setProcessChannelMode(QProcess::MergedChannels);
  program.start(QStringLiteral(PV_APP_PROGRAM), QStringList{});
  ASSERT_TRUE(program.waitForStarted(10000)) << program.errorString().toStdString();
  // Its library open, the program is long past the start-up that decides.
  const bool started = testsupport::waitUntil(
      [&] {
        return program.state() != QProcess::Running ||
               QFileInfo::exists(home + "/.local/share/Parlowvista/Parlowvista.store");
      },
      60000);
  const bool running = program.state() == QProcess::Running;
  program.terminate();
  if (!program.waitForFinished(10000)) program.kill(), program.waitForFinished();
  const QString output = QString::fromLocal8Bit(program.readAll());
  ASSERT_TRUE(started && running) << output.toStdString();
  EXPECT_EQ(output.contains("[Parlowvista] Running as root: the web engine's sandbox is turned off"), ::geteuid() == 0)
      << output.toStdString();
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

}  // namespace
