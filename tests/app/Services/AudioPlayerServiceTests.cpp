#include "Services/AudioPlayerService.h"

#include "support/QtWait.h"
#include "support/TempDir.h"

#include <QFile>
#include <QFileInfo>
#include <QMediaPlayer>
#include <QProcess>
#include <QSignalSpy>
#include <QTimer>

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <optional>
#include <string>

using parlowvista::AudioPlayerService;
using testsupport::waitUntil;

namespace {

// Clips are made once per run with the ffmpeg tool: a tone of the given length in seconds.
class AudioPlayerServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { folder = new testsupport::TempDir("audio-player"); }
  static void TearDownTestSuite() {
    delete folder;
    folder = nullptr;
    clips.clear();
  }

  static QUrl clip(const std::string& name, double seconds, const QStringList& codec = {}) {
    const auto found = clips.find(name);
    if (found != clips.end()) {
      return found->second;
    }
    const QString path = QString::fromStdString((*folder / name).string());
    QStringList args{"-v",
                     "error",
                     "-y",
                     "-f",
                     "lavfi",
                     "-i",
                     QStringLiteral("sine=frequency=440:sample_rate=16000:duration=%1").arg(seconds)};
    args << codec << path;
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), args);
    EXPECT_TRUE(ffmpeg.waitForFinished(60000));
    EXPECT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();
    const QUrl url = QUrl::fromLocalFile(path);
    clips[name] = url;
    return url;
  }

  // Loads and waits for the outcome: the reason the file was refused, empty when it is in place.
  static QString load(AudioPlayerService& player, const QUrl& url) {
    std::optional<QString> outcome;
    player.load(url, [&outcome](const QString& error) { outcome = error; });
    EXPECT_TRUE(player.isLoading());
    EXPECT_TRUE(waitUntil([&] { return outcome.has_value(); }, 30000)) << url.toString().toStdString();
    EXPECT_FALSE(player.isLoading());
    return outcome.value_or(QStringLiteral("never finished"));
  }

  static void expectEmpty(const AudioPlayerService& player) {
    EXPECT_FALSE(player.isLoaded());
    EXPECT_FALSE(player.isPlaying());
    EXPECT_EQ(player.currentTime(), 0.0);
    EXPECT_EQ(player.duration(), 0.0);
    EXPECT_FALSE(player.hasPositionTimer());
  }

  static inline testsupport::TempDir* folder = nullptr;
  static inline std::map<std::string, QUrl> clips;
};

TEST_F(AudioPlayerServiceTest, WithNothingLoadedOperationsChangeNothing) {
  AudioPlayerService player;
  player.play();
  player.seek(5);
  player.seekToProgress(0.5);
  player.pause();
  expectEmpty(player);
  EXPECT_EQ(player.progress(), 0.0);
  player.setMuted(true);
  EXPECT_TRUE(player.isMuted());
}

TEST_F(AudioPlayerServiceTest, LoadKnowsTheDurationOfEveryFormatAtOnce) {
  const std::map<std::string, QStringList> formats{{"clip.wav", {}},  {"clip.mp3", {}},
                                                   {"clip.flac", {}}, {"clip.m4a", {"-c:a", "aac"}},
                                                   {"clip.aiff", {}}, {"clip.caf", {}}};
  for (const auto& [name, codec] : formats) {
    AudioPlayerService player;
    QSignalSpy loaded(&player, &AudioPlayerService::isLoadedChanged);
    EXPECT_EQ(load(player, clip(name, 2.0, codec)), "") << name;
    EXPECT_TRUE(player.isLoaded()) << name;
    EXPECT_NEAR(player.duration(), 2.0, 0.1) << name;
    EXPECT_EQ(player.currentTime(), 0.0) << name;
    EXPECT_FALSE(player.isPlaying()) << name;
    EXPECT_FALSE(loaded.isEmpty()) << name;
  }
}

TEST_F(AudioPlayerServiceTest, SeeksAreClampedToTheFileAndReachThePlatformPlayer) {
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("long.wav", 100.0)), "");
  ASSERT_NEAR(player.duration(), 100.0, 0.01);

  const struct {
    bool byProgress;
    double argument;
    double expected;
  } cases[] = {{true, 1.5, 100}, {true, -0.2, 0}, {false, 250, 100}, {false, -3, 0}, {false, 25, 25}, {true, 0.5, 50}};
  for (const auto& c : cases) {
    if (c.byProgress) {
      player.seekToProgress(c.argument);
    } else {
      player.seek(c.argument);
    }
    EXPECT_NEAR(player.currentTime(), c.expected, 0.01) << c.argument;
    EXPECT_TRUE(waitUntil([&] { return std::abs(player.playerPosition() - c.expected) < 0.05; }, 3000))
        << "platform player at " << player.playerPosition() << " for " << c.argument;
  }
  player.seek(25);
  EXPECT_NEAR(player.progress(), 0.25, 1e-9);
}

// The machine that runs the tests has no sound device: the clock must still run and stop.
TEST_F(AudioPlayerServiceTest, ClockRunsWhilePlayingAndHoldsWhilePaused) {
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("long.wav", 100.0)), "");
  QSignalSpy ticks(&player, &AudioPlayerService::currentTimeChanged);
  player.play();
  player.play();
  EXPECT_EQ(player.findChildren<QTimer*>(QStringLiteral("positionTimer")).size(), 1);
  ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.5; }, 5000)) << player.currentTime();
  EXPECT_GE(ticks.size(), 3);

  player.pause();
  EXPECT_FALSE(player.isPlaying());
  EXPECT_FALSE(player.hasPositionTimer());
  const double held = player.currentTime();
  QTest::qWait(300);
  EXPECT_EQ(player.currentTime(), held);

  player.seek(40);
  player.play();
  ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 40.3; }, 5000)) << player.currentTime();
  EXPECT_LT(player.currentTime(), 45.0);
}

TEST_F(AudioPlayerServiceTest, EndOfFileStopsTheClockButKeepsTheFile) {
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("short.wav", 1.0)), "");
  QSignalSpy playing(&player, &AudioPlayerService::isPlayingChanged);
  player.play();
  ASSERT_TRUE(waitUntil([&] { return !player.isPlaying(); }, 6000));
  EXPECT_FALSE(player.hasPositionTimer());
  EXPECT_TRUE(player.isLoaded());
  EXPECT_NEAR(player.duration(), 1.0, 0.05);
  ASSERT_FALSE(playing.isEmpty());
  EXPECT_FALSE(playing.last().at(0).toBool());
}

// GStreamer cannot play CAF: it plays from a WAV copy, made once while the file stays loaded.
TEST_F(AudioPlayerServiceTest, CafPlaysThroughOneDecodedCopyKeptWhileItIsTheFileLoaded) {
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("clip.caf", 2.0)), "");
  const QString copy = player.playablePath();
  ASSERT_TRUE(copy.endsWith(".wav")) << copy.toStdString();
  const QDateTime written = QFileInfo(copy).lastModified();
  player.play();
  EXPECT_TRUE(waitUntil([&] { return player.currentTime() > 0.3; }, 5000)) << player.currentTime();
  player.stop();
  expectEmpty(player);

  QTest::qWait(20);
  ASSERT_EQ(load(player, clip("clip.caf", 2.0)), "");
  EXPECT_EQ(player.playablePath(), copy);
  EXPECT_EQ(QFileInfo(copy).lastModified(), written);
  ASSERT_EQ(load(player, clip("clip.wav", 2.0)), "");
  EXPECT_FALSE(QFileInfo::exists(copy));

  ASSERT_EQ(load(player, clip("clip.caf", 2.0)), "");
  const QString second = player.playablePath();
  player.unload();
  EXPECT_FALSE(QFileInfo::exists(second));
}

TEST_F(AudioPlayerServiceTest, MutingIsKeptAcrossLoadsAndStops) {
  AudioPlayerService player;
  player.setMuted(true);
  ASSERT_EQ(load(player, clip("clip.wav", 2.0)), "");
  EXPECT_EQ(player.playerVolume(), 0.0);
  player.play();
  player.setMuted(false);
  EXPECT_EQ(player.playerVolume(), 1.0);
  EXPECT_TRUE(player.isPlaying());
  player.setMuted(true);
  player.stop();
  EXPECT_TRUE(player.isMuted());
  ASSERT_EQ(load(player, clip("clip.wav", 2.0)), "");
  EXPECT_EQ(player.playerVolume(), 0.0);
}

TEST_F(AudioPlayerServiceTest, ALaterLoadOrAStopSupersedesOneUnderWay) {
  AudioPlayerService player;
  int firstOutcomes = 0;
  player.load(clip("clip.caf", 2.0), [&](const QString&) { ++firstOutcomes; });
  ASSERT_EQ(load(player, clip("long.wav", 100.0)), "");
  player.load(clip("clip.wav", 2.0), [&](const QString&) { ++firstOutcomes; });
  player.stop();
  QTest::qWait(300);
  EXPECT_EQ(firstOutcomes, 0);
  expectEmpty(player);
  EXPECT_FALSE(player.isLoading());
}

// A click on a segment while its file is still loading is not lost.
TEST_F(AudioPlayerServiceTest, ASeekAndAPlayAskedForWhileLoadingTakeEffectOnceTheFileIsIn) {
  AudioPlayerService player;
  bool loaded = false;
  player.load(clip("long.wav", 100.0), [&](const QString&) { loaded = true; });
  player.seek(40);
  EXPECT_EQ(player.currentTime(), 40.0);
  player.play();
  EXPECT_FALSE(player.isPlaying());
  ASSERT_TRUE(waitUntil([&] { return loaded; }, 30000));
  EXPECT_TRUE(player.isPlaying());
  ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 40.2; }, 5000)) << player.currentTime();
  EXPECT_LT(player.currentTime(), 45.0);

  // A pause meanwhile takes the wish to play back; a position past the end is clamped.
  loaded = false;
  player.load(clip("clip.wav", 2.0), [&](const QString&) { loaded = true; });
  player.seek(250);
  player.play();
  player.pause();
  ASSERT_TRUE(waitUntil([&] { return loaded; }, 30000));
  EXPECT_FALSE(player.isPlaying());
  EXPECT_NEAR(player.currentTime(), 2.0, 0.1);
}

TEST_F(AudioPlayerServiceTest, LoadWhilePlayingStartsTheNewFilePaused) {
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("long.wav", 100.0)), "");
  player.play();
  ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.2; }, 5000));
  ASSERT_EQ(load(player, clip("clip.wav", 2.0)), "");
  EXPECT_FALSE(player.isPlaying());
  EXPECT_FALSE(player.hasPositionTimer());
  EXPECT_EQ(player.currentTime(), 0.0);
  EXPECT_NEAR(player.duration(), 2.0, 0.1);
  EXPECT_EQ(player.findChildren<QMediaPlayer*>().size(), 1);  // one platform player for every file
}

TEST_F(AudioPlayerServiceTest, UnreadableFilesAreRefusedAndLeaveThePlayerEmpty) {
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("clip.wav", 2.0)), "");
  player.play();

  const QString garbage = QString::fromStdString((*folder / "garbage.wav").string());
  QFile file(garbage);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("this is not audio at all");
  file.close();

  for (const QString& path : {garbage, QStringLiteral("/nonexistent/missing.wav")}) {
    EXPECT_FALSE(load(player, QUrl::fromLocalFile(path)).isEmpty()) << path.toStdString();
    expectEmpty(player);
  }
}

TEST_F(AudioPlayerServiceTest, StopWhilePlayingResetsEverything) {
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("long.wav", 100.0)), "");
  player.seek(10);
  player.play();
  player.stop();
  expectEmpty(player);
  player.play();
  EXPECT_FALSE(player.isPlaying());
}

}  // namespace
