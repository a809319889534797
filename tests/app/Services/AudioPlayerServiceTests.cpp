#include "Services/AudioPlayerService.h"
#include "Services/PlaybackStream.h"

#include "support/QtWait.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTimer>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

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

  static QUrl clip(const std::string& name, double seconds, const QStringList& codec = {},
                   const QString& source = QStringLiteral("sine=frequency=440:sample_rate=16000:duration=%1")) {
    const auto found = clips.find(name);
    if (found != clips.end()) {
      return found->second;
    }
    const QString path = QString::fromStdString((*folder / name).string());
    QStringList args{"-v", "error", "-y", "-f", "lavfi", "-i", source.arg(seconds)};
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

  static QStringList mediaPipelineThreads() {
    QStringList found;
    for (const QString& task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
      QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
      if (!comm.open(QIODevice::ReadOnly)) continue;
      const QString name = QString::fromUtf8(comm.readAll()).trimmed();
      if (name.endsWith(QLatin1String(":sink")) || name.endsWith(QLatin1String(":src"))) found << name;
    }
    return found;
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

// Every format, a CAF too, plays from the file itself: nothing is decoded into a copy beside it,
// so a long file costs no disk and leaving it costs no deletion.
TEST_F(AudioPlayerServiceTest, EveryFormatPlaysFromTheFileItselfWithItsDurationKnownAtOnce) {
  const std::map<std::string, QStringList> formats{{"clip.wav", {}},  {"clip.mp3", {}},
                                                   {"clip.flac", {}}, {"clip.m4a", {"-c:a", "aac"}},
                                                   {"clip.aiff", {}}, {"clip.caf", {}}};
  testsupport::TempDir scratch("audio-player-tmp");
  const testsupport::ScopedEnv tmp("TMPDIR", scratch.path().string());
  for (const auto& [name, codec] : formats) {
    AudioPlayerService player;
    QSignalSpy loaded(&player, &AudioPlayerService::isLoadedChanged);
    const QUrl url = clip(name, 2.0, codec);
    EXPECT_EQ(load(player, url), "") << name;
    EXPECT_TRUE(player.isLoaded()) << name;
    EXPECT_NEAR(player.duration(), 2.0, 0.1) << name;
    EXPECT_EQ(player.currentTime(), 0.0) << name;
    EXPECT_FALSE(player.isPlaying()) << name;
    EXPECT_FALSE(loaded.isEmpty()) << name;
    EXPECT_EQ(player.playablePath().toStdString(), url.toLocalFile().toStdString()) << name;
    player.play();
    EXPECT_TRUE(waitUntil([&] { return player.currentTime() > 0.2; }, 5000)) << name;
    // (The sound server's client library keeps a folder of its own there.)
    QStringList written = QDir(QString::fromStdString(scratch.path().string()))
                              .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    written.removeIf([](const QString& entry) { return entry.startsWith(QLatin1String("pulse-")); });
    EXPECT_EQ(written.join(' ').toStdString(), "") << name;
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
  // The main thread waits on no media pipeline: none is ever built (a GStreamer pipeline names
  // its streaming threads after their pads, "wavparse0:sink").
  EXPECT_EQ(mediaPipelineThreads().join(" ").toStdString(), "");
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

// What the audio output plays: the file's samples from the position asked for, in the output's
// format, whatever the container. The clip is silent but for a burst from 5.0 s to 5.1 s.
TEST_F(AudioPlayerServiceTest, TheSoundIsDecodedFromTheFileAtTheSeekedPosition) {
  const QString burst = QStringLiteral("aevalsrc='if(between(t,5,5.1),0.8*sin(2*PI*440*t),0)':s=44100:d=%1");
  const std::map<std::string, QStringList> formats{{"burst.wav", {}},
                                                   {"burst.flac", {}},
                                                   {"burst.mp3", {"-b:a", "128k"}},
                                                   {"burst.m4a", {"-c:a", "aac"}},
                                                   {"burst.caf", {"-c:a", "alac"}}};
  QAudioFormat format;
  format.setSampleRate(48000);
  format.setChannelCount(2);
  format.setSampleFormat(QAudioFormat::Int16);
  // Seconds from the stream's position to the first loud sample, and the seconds there are.
  auto burstAt = [&](parlowvista::PlaybackStream& stream) {
    const double from = stream.position();
    std::vector<int16_t> frame(2);
    std::optional<double> onset;
    qint64 frames = 0;
    while (stream.read(reinterpret_cast<char*>(frame.data()), 4) == 4) {
      if (!onset && std::abs(frame[0]) > 8000) onset = from + double(frames) / 48000;
      ++frames;
    }
    EXPECT_TRUE(stream.isExhausted());
    return std::make_pair(onset.value_or(-1), from + double(frames) / 48000);
  };
  for (const auto& [name, codec] : formats) {
    parlowvista::PlaybackStream stream(clip(name, 8.0, codec, burst).toLocalFile(), format);
    const auto [fromStart, end] = burstAt(stream);
    EXPECT_NEAR(fromStart, 5.0, 0.01) << name;
    EXPECT_NEAR(end, 8.0, 0.06) << name;
    EXPECT_NEAR(stream.position(), end, 1e-9) << name;
    for (double seconds : {4.0, 4.9, 0.5}) {
      stream.seek(seconds);
      EXPECT_EQ(stream.position(), seconds) << name;
      EXPECT_NEAR(burstAt(stream).first, 5.0, 0.01) << name << " from " << seconds;
    }
    stream.seek(9.0);
    EXPECT_TRUE(stream.isExhausted()) << name;
  }
  EXPECT_THROW(parlowvista::PlaybackStream(QStringLiteral("/nonexistent/missing.wav"), format), std::runtime_error);
}

}  // namespace
