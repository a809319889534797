#include "Models/AppSettings.h"
#include "Models/UuidText.h"
#include "support/ChildTestRun.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>

#include <sys/stat.h>

using namespace parlowvista;

namespace {

class AppSettingsTest : public testsupport::TempDirTest {
 protected:
  QString iniPath() const { return QString::fromStdString((tempDir / "settings.ini").string()); }
  QString root() const { return QString::fromStdString((tempDir / "share").string()); }

  std::unique_ptr<AppSettings> load() {
    return std::make_unique<AppSettings>(std::make_unique<QSettings>(iniPath(), QSettings::IniFormat), root());
  }

  void store(const QString& key, const QVariant& value) {
    QSettings settings(iniPath(), QSettings::IniFormat);
    settings.setValue(key, value);
  }
};

}  // namespace

TEST_F(AppSettingsTest, FreshAccountGetsDefaultsAndFoldersButNothingStored) {
  auto settings = load();
  EXPECT_EQ(settings->libraryLocation(), root() + "/Parlowvista");
  EXPECT_TRUE(QFileInfo(root() + "/Parlowvista").isDir());
  // The sample cache lives in the cache folder: no "AudioCache" beside the store.
  EXPECT_FALSE(QFileInfo::exists(root() + "/Parlowvista/AudioCache"));
  EXPECT_DOUBLE_EQ(settings->autoSaveInterval(), 2.0);
  EXPECT_EQ(settings->defaultDiarizationPreset(), DiarizationPreset::balanced);
  EXPECT_DOUBLE_EQ(settings->defaultCustomThreshold(), 0.5);
  EXPECT_EQ(settings->defaultMaxSubtitleChars(), 150);
  EXPECT_DOUBLE_EQ(settings->defaultMaxSubtitleDuration(), 10.0);
  EXPECT_FALSE(settings->lastUsedGroupId());
  EXPECT_FALSE(settings->hasCompletedOnboarding());
  EXPECT_TRUE(settings->store().allKeys().isEmpty());
}

TEST_F(AppSettingsTest, StoredZerosAndUnusableTextsReadAsDefaults) {
  store("defaultCustomThreshold", 0.0);
  store("defaultMaxSubtitleChars", 0);
  store("autoSaveInterval", 0.0);
  store("defaultMaxSubtitleDuration", "not a number");
  store("lastUsedGroupId", "not-a-uuid");
  for (const char* text : {"balanced", "Nonsense", ""}) {
    store("defaultDiarizationPreset", text);
    auto settings = load();
    EXPECT_EQ(settings->defaultDiarizationPreset(), DiarizationPreset::balanced) << text;
    EXPECT_DOUBLE_EQ(settings->defaultCustomThreshold(), 0.5);
    EXPECT_EQ(settings->defaultMaxSubtitleChars(), 150);
    EXPECT_DOUBLE_EQ(settings->autoSaveInterval(), 2.0);
    EXPECT_DOUBLE_EQ(settings->defaultMaxSubtitleDuration(), 10.0);
    EXPECT_FALSE(settings->lastUsedGroupId());
  }
  store("defaultDiarizationPreset", "Fewer Speakers");
  EXPECT_EQ(load()->defaultDiarizationPreset(), DiarizationPreset::fewerSpeakers);
}

TEST_F(AppSettingsTest, EmptyStoredLibraryLocationReadsAsTheDefault) {
  store("libraryLocation", "");
  auto settings = load();
  EXPECT_EQ(settings->libraryLocation(), root() + "/Parlowvista");
  EXPECT_TRUE(QFileInfo(root() + "/Parlowvista").isDir());
}

// Run as a child process by PersistAcrossANewProcess; skipped otherwise.
TEST(AppSettingsChildProcess, WritesSettings) {
  const QString ini = qEnvironmentVariable("PV_SETTINGS_CHILD_INI");
  if (ini.isEmpty()) GTEST_SKIP() << "only run as a child process";
  AppSettings settings(std::make_unique<QSettings>(ini, QSettings::IniFormat),
                       qEnvironmentVariable("PV_SETTINGS_CHILD_ROOT"));
  settings.setLibraryLocation(qEnvironmentVariable("PV_SETTINGS_CHILD_ROOT") + "/Library");
  settings.setLastUsedGroupId(uuidFromText("0F8FAD5B-D9CB-469F-A165-70867728950E"));
  settings.setHasCompletedOnboarding(true);
  settings.setAutoSaveInterval(5.5);
  settings.setDefaultDiarizationPreset(DiarizationPreset::moreSpeakers);
  settings.setDefaultCustomThreshold(0.25);
  settings.setDefaultMaxSubtitleChars(80);
  settings.setDefaultMaxSubtitleDuration(4.5);
}

TEST_F(AppSettingsTest, PersistAcrossANewProcess) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("PV_SETTINGS_CHILD_INI", iniPath());
  env.insert("PV_SETTINGS_CHILD_ROOT", root());
  const auto child = testsupport::runTestsInChild(env, "AppSettingsChildProcess.WritesSettings", 60000);
  ASSERT_TRUE(child.finished);
  ASSERT_EQ(child.exitCode, 0) << child.output.toStdString();

  auto settings = load();
  EXPECT_EQ(settings->libraryLocation(), root() + "/Library");
  EXPECT_TRUE(QFileInfo(root() + "/Library").isDir());
  EXPECT_EQ(settings->lastUsedGroupId(), uuidFromText("0F8FAD5B-D9CB-469F-A165-70867728950E"));
  EXPECT_EQ(settings->store().value("lastUsedGroupId").toString(), "0F8FAD5B-D9CB-469F-A165-70867728950E");
  EXPECT_TRUE(settings->hasCompletedOnboarding());
  EXPECT_DOUBLE_EQ(settings->autoSaveInterval(), 5.5);
  EXPECT_EQ(settings->defaultDiarizationPreset(), DiarizationPreset::moreSpeakers);
  EXPECT_EQ(settings->store().value("defaultDiarizationPreset").toString(), "More Speakers");
  EXPECT_DOUBLE_EQ(settings->defaultCustomThreshold(), 0.25);
  EXPECT_EQ(settings->defaultMaxSubtitleChars(), 80);
  EXPECT_DOUBLE_EQ(settings->defaultMaxSubtitleDuration(), 4.5);
}

TEST_F(AppSettingsTest, AbsentGroupRemovesTheKey) {
  {
    auto settings = load();
    settings->setLastUsedGroupId(newUuid());
    EXPECT_TRUE(settings->store().contains("lastUsedGroupId"));
    settings->setLastUsedGroupId(std::nullopt);
    EXPECT_FALSE(settings->store().contains("lastUsedGroupId"));
  }
  EXPECT_FALSE(load()->lastUsedGroupId());
}

// Each finished run names its group; naming the one already kept must not rewrite the file (a
// rewrite is a flush to disk on the UI thread). QSettings writes a new file and renames it, so a
// rewrite shows as a new inode.
TEST_F(AppSettingsTest, NamingTheKeptGroupAgainLeavesTheFileAlone) {
  const auto inode = [&] {
    struct stat info {};
    return ::stat(iniPath().toLocal8Bit().constData(), &info) == 0 ? info.st_ino : ino_t(0);
  };
  auto settings = load();
  const QUuid group = newUuid();
  settings->setLastUsedGroupId(group);
  settings->store().sync();
  const ino_t written = inode();
  ASSERT_NE(written, ino_t(0));

  settings->setLastUsedGroupId(group);
  settings->store().sync();
  EXPECT_EQ(inode(), written);

  const QUuid other = newUuid();
  settings->setLastUsedGroupId(other);
  settings->store().sync();
  EXPECT_NE(inode(), written);
  EXPECT_EQ(load()->lastUsedGroupId(), other);
}

TEST_F(AppSettingsTest, ResetKeepsGroupAndOnboarding) {
  const QUuid group = newUuid();
  {
    auto settings = load();
    settings->setLibraryLocation(root() + "/Elsewhere");
    settings->setLastUsedGroupId(group);
    settings->setHasCompletedOnboarding(true);
    settings->setAutoSaveInterval(9);
    settings->setDefaultDiarizationPreset(DiarizationPreset::custom);
    settings->setDefaultCustomThreshold(0.9);
    settings->setDefaultMaxSubtitleChars(42);
    settings->setDefaultMaxSubtitleDuration(3);
    settings->resetToDefaults();
  }
  auto settings = load();
  EXPECT_EQ(settings->libraryLocation(), root() + "/Parlowvista");
  EXPECT_EQ(settings->lastUsedGroupId(), group);
  EXPECT_TRUE(settings->hasCompletedOnboarding());
  EXPECT_DOUBLE_EQ(settings->autoSaveInterval(), 2.0);
  EXPECT_EQ(settings->defaultDiarizationPreset(), DiarizationPreset::balanced);
  EXPECT_DOUBLE_EQ(settings->defaultCustomThreshold(), 0.5);
  EXPECT_EQ(settings->defaultMaxSubtitleChars(), 150);
  EXPECT_DOUBLE_EQ(settings->defaultMaxSubtitleDuration(), 10.0);
}

TEST_F(AppSettingsTest, NewLibraryLocationIsCreatedAtOnce) {
  auto settings = load();
  const QString location = root() + "/deep/new/Library";
  settings->setLibraryLocation(location);
  EXPECT_TRUE(QFileInfo(location).isDir());
  EXPECT_TRUE(QFileInfo(root() + "/Parlowvista").isDir());
  // An empty "AudioCache" that earlier versions made there goes; one holding anything stays.
  QDir().mkpath(location + "/AudioCache");
  settings->setLibraryLocation(location);
  EXPECT_FALSE(QFileInfo::exists(location + "/AudioCache"));
  QDir().mkpath(location + "/AudioCache/kept");
  settings->setLibraryLocation(location);
  EXPECT_TRUE(QFileInfo(location + "/AudioCache/kept").isDir());
}
