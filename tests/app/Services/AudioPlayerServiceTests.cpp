#include "Services/AudioPlayerService.h"
#include "Services/PlaybackDecoder.h"
#include "Services/PlaybackStream.h"

#include "app/Services/AudioPlayerTestSupport.h"
#include "support/QtWait.h"
#include "support/ScopedEnv.h"
#include "support/SoundServer.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

class AudioPlayerServiceTest : public testsupport::AudioPlayerTest {
 protected:
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

// With a sound output or without one, the clock runs while playing and holds while paused.
TEST_F(AudioPlayerServiceTest, ClockRunsWhilePlayingAndHoldsWhilePaused) {
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("long.wav", 100.0)), "");
  // The clock publishes what the output has played (its last reading, moved on by at most a
  // quarter of a second since), never stepping back: judged against the output, not against
  // how often a busy machine lets the timer tick.
  std::vector<std::pair<double, std::optional<double>>> published;
  QObject::connect(&player, &AudioPlayerService::currentTimeChanged, &player,
                   [&](double time) { published.emplace_back(time, player.heardPosition()); });
  player.play();
  player.play();
  EXPECT_EQ(player.findChildren<QTimer*>(QStringLiteral("positionTimer")).size(), 1);
  ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.5; }, 20000)) << player.currentTime();
  if (testsupport::haveSoundOutput()) {
    // Once the output has played a while: whatever the clock ran ahead of a slow start is past.
    ASSERT_TRUE(heardPast(player, 0, 1.5));
    const std::size_t before = published.size();
    ASSERT_TRUE(waitUntil([&] { return published.size() > before; }, 20000));
    const auto& [time, heard] = published.back();
    ASSERT_TRUE(heard.has_value());
    EXPECT_GE(time, *heard);
    EXPECT_LE(time, *heard + 0.25);
  }
  for (std::size_t i = 1; i < published.size(); ++i) EXPECT_GE(published[i].first, published[i - 1].first) << i;
  player.pause();
  EXPECT_FALSE(player.isPlaying());
  EXPECT_FALSE(player.hasPositionTimer());
  const double held = player.currentTime();
  QTest::qWait(300);
  EXPECT_EQ(player.currentTime(), held);

  player.seek(40);
  player.play();
  ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 40.3; }, 20000)) << player.currentTime();
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

// Refused at the load, with the reason, which the player keeps for its controls to show until
// the next load: a file that is no audio, one that is missing, one whose container opens but
// whose audio has no decoder (a WAV format tag nobody knows), which used to load as playable
// and play silence, and one that holds no sound (a download cut short after its header).
TEST_F(AudioPlayerServiceTest, FilesThatCannotBePlayedAreRefusedWithTheReasonKept) {
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("clip.wav", 2.0)), "");
  player.play();

  QFile m4a(clip("whole.m4a", 20.0, {"-c:a", "aac", "-movflags", "+faststart"}).toLocalFile());
  ASSERT_TRUE(m4a.open(QIODevice::ReadOnly));
  const QByteArray whole = m4a.readAll();
  const std::map<QString, QString> refused{
      {writtenFile("garbage.wav", "this is not audio at all").toLocalFile(), "Cannot open audio file: garbage.wav"},
      {QStringLiteral("/nonexistent/missing.wav"), "Cannot open audio file: missing.wav"},
      {writtenFile("unknown-tag.wav", wav(0xFFFF, 1, 8000, 16000)).toLocalFile(),
       "Cannot play unknown-tag.wav: no decoder for its audio"},
      {writtenFile("header-only.m4a", whole.left(whole.indexOf("mdat") + 50)).toLocalFile(),
       "Cannot play header-only.m4a: it holds no sound"}};
  for (const auto& [path, reason] : refused) {
    QSignalSpy told(&player, &AudioPlayerService::problemChanged);
    EXPECT_EQ(load(player, QUrl::fromLocalFile(path)).toStdString(), reason.toStdString());
    expectEmpty(player);
    EXPECT_EQ(player.problem().toStdString(), reason.toStdString());
    EXPECT_FALSE(told.isEmpty());
  }
  ASSERT_EQ(load(player, clip("clip.wav", 2.0)), "");
  EXPECT_EQ(player.problem().toStdString(), "");
}

// The audio system's sink, told by its source that it is at its end, asks the sound server to
// say when everything was played, and was called back then even when it had been deleted
// meanwhile: a crash on the audio system's thread now and then as a file ended (seen in the
// video bar's test and in the joined files' one, on a busy machine). The stream never says so.
// Read as a sink reads it, it fills itself again whenever a read leaves it low.
TEST_F(AudioPlayerServiceTest, AStreamPlayedOutNeverTellsItsSinkItIsAtItsEnd) {
  QAudioFormat format;
  format.setSampleRate(48000);
  format.setChannelCount(2);
  format.setSampleFormat(QAudioFormat::Int16);
  parlowvista::PlaybackStream stream(clip("clip.wav", 2.0).toLocalFile(), format);
  stream.seek(1.5);
  stream.fill();
  QByteArray all;
  while (!stream.isExhausted()) {
    all += stream.read(stream.bytesAvailable());
    ASSERT_TRUE(waitUntil([&] { return stream.bytesAvailable() > 0 || stream.isExhausted(); }, 5000));
  }
  EXPECT_NEAR(double(all.size()) / format.bytesForDuration(1000000), 0.5, 0.01);
  EXPECT_FALSE(stream.atEnd());
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
// format, whatever the container. The clip is silent but for a burst from 5.0 s to 5.1 s; in the
// files joined end to end, whose rate changes at 3 s, the burst lies 2 s into the second part, a
// codec's delay or two later. Seeks land there after the file was played to its end, and from
// early in the file (a joined one's other part).
TEST_F(AudioPlayerServiceTest, TheSoundIsDecodedFromTheFileAtTheSeekedPosition) {
  const QString burst = QStringLiteral("aevalsrc='if(between(t,5,5.1),0.8*sin(2*PI*440*t),0)':s=44100:d=%1");
  std::map<std::string, QUrl> files;
  for (const auto& [name, codec] : std::map<std::string, QStringList>{
           {"burst.wav", {}},
           {"burst.flac", {}},
           {"burst.mp3", {"-b:a", "128k"}},
           {"burst.m4a", {"-c:a", "aac"}},
           {"burst.caf", {"-c:a", "alac"}},
           // With a picture: only the audio's packets are decoded.
           {"burst.mp4", {"-f", "lavfi", "-i", "color=s=32x24:r=25", "-c:a", "aac", "-shortest"}}}) {
    files[name] = clip(name, 8.0, codec, burst);
  }
  for (const auto& [name, rates] : std::map<std::string, std::pair<int, int>>{{"burst-joined.mp3", {44100, 22050}},
                                                                              {"burst-joined.aac", {48000, 16000}}}) {
    QByteArray bytes;
    for (const int rate : {rates.first, rates.second}) {
      const QString sound = rate == rates.first ? "0" : "if(between(t,2,2.1),0.8*sin(2*PI*440*t),0)";
      const std::string suffix = name.substr(name.rfind('.'));
      QFile part(clip(name + "." + std::to_string(rate) + suffix, 3.0, {"-ac", "2"},
                      QStringLiteral("aevalsrc='%1':s=%2:d=%3").arg(sound).arg(rate).arg("%1"))
                     .toLocalFile());
      EXPECT_TRUE(part.open(QIODevice::ReadOnly));
      bytes += part.readAll();
    }
    files[name] = writtenFile(name, bytes);
  }
  QAudioFormat format;
  format.setSampleRate(48000);
  format.setChannelCount(2);
  format.setSampleFormat(QAudioFormat::Int16);
  // Seconds from `from` to the first loud sample, and to the end.
  auto burstAt = [&](parlowvista::PlaybackDecoder& decoder, double from) {
    QByteArray sound;
    while (decoder.decode(sound, 1 << 16)) {
    }
    EXPECT_FALSE(decoder.stoppedOnError());
    const auto* samples = reinterpret_cast<const int16_t*>(sound.constData());
    const qsizetype frames = sound.size() / 4;
    std::optional<double> onset;
    for (qsizetype i = 0; i < frames && !onset; ++i) {
      if (std::abs(samples[2 * i]) > 8000) onset = from + double(i) / 48000;
    }
    return std::make_pair(onset.value_or(-1), from + double(frames) / 48000);
  };
  for (const auto& [name, url] : files) {
    parlowvista::PlaybackDecoder decoder(url.toLocalFile(), format);
    const auto [fromStart, end] = burstAt(decoder, 0);
    const bool joined = name.find("joined") != std::string::npos;
    EXPECT_NEAR(fromStart, joined ? 5.05 : 5.0, joined ? 0.05 : 0.01) << name;
    // Lossless files end at their last sample, the resampler's tail included; the others
    // within their codec's padding.
    const bool lossless = name == "burst.wav" || name == "burst.flac" || name == "burst.caf";
    EXPECT_NEAR(end, joined ? 6.0 : 8.0, lossless ? 2.0 / 48000 : joined ? 0.15 : 0.06) << name;
    for (double seconds : {4.0, 4.9, 0.5}) {
      decoder.seek(seconds);
      EXPECT_NEAR(burstAt(decoder, seconds).first, fromStart, 0.01) << name << " from " << seconds;
    }
    decoder.seek(0.5);
    QByteArray early;
    decoder.decode(early, 4096);
    decoder.seek(4.9);
    EXPECT_NEAR(burstAt(decoder, 4.9).first, fromStart, 0.01) << name << " from 4.9, after 0.5";
    decoder.seek(9.0);
    QByteArray past;
    EXPECT_FALSE(decoder.decode(past, 4096)) << name;
    EXPECT_TRUE(past.isEmpty()) << name;
  }
  EXPECT_THROW(parlowvista::PlaybackDecoder(QStringLiteral("/nonexistent/missing.wav"), format),
               parlowvista::PlaybackError);
}

}  // namespace
