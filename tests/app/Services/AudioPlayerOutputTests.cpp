// The player through a real audio output: the sound server the test session starts (a null
// sink), or, without any, none.

#include "Services/AudioPlayerService.h"
#include "Services/AudioProcessor.h"
#include "Services/PlaybackDecoder.h"

#include "app/Services/AudioPlayerTestSupport.h"
#include "engine/Shared/AudioTestFiles.h"
#include "support/FixturePaths.h"
#include "support/QtWait.h"
#include "support/ReadFailure.h"
#include "support/SoundServer.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using parlowvista::AudioPlayerService;
using testsupport::waitUntil;

namespace {

class AudioPlayerOutputTest : public testsupport::AudioPlayerTest {
 protected:
  void SetUp() override { PV_SKIP_WITHOUT_SOUND_OUTPUT(); }
};

// Kilobytes of the process's peak resident memory.
long peakResidentKilobytes() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  const QRegularExpression line(QStringLiteral("VmHWM:\\s+(\\d+)"));
  return line.match(QString::fromLatin1(status.readAll())).captured(1).toLong();
}

// A file played to its end stands at its full length, and Play there starts it again from 0:00
// with the clock following (it used to stop short of the end, and a later Play played the file
// while the clock stayed frozen there). With or without an output.
void expectPlayAfterTheEndStartsAgain(AudioPlayerService& player, bool heard) {
  const double length = player.duration();
  for (int round = 0; round < 3; ++round) {
    player.play();
    ASSERT_TRUE(player.isPlaying());
    ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.3; }, 20000)) << round;
    if (heard) {
      EXPECT_TRUE(waitUntil([&] { return player.isHeard() || !player.isPlaying(); }, 20000));
    } else {
      EXPECT_FALSE(player.isHeard());
    }
    ASSERT_TRUE(waitUntil([&] { return !player.isPlaying(); }, 30000)) << round;
    EXPECT_EQ(player.currentTime(), length) << round;
    EXPECT_EQ(player.progress(), 1.0);
    // Play at the end: from the start, published at once.
    QSignalSpy published(&player, &AudioPlayerService::currentTimeChanged);
    player.play();
    ASSERT_FALSE(published.isEmpty());
    EXPECT_EQ(published.first().at(0).toDouble(), 0.0);
    ASSERT_TRUE(waitUntil([&] { return player.currentTime() > 0.3; }, 20000)) << round;
    EXPECT_LT(player.currentTime(), length);
    player.pause();
    player.seek(length - 0.5);
  }
}

TEST_F(AudioPlayerOutputTest, APlayedOutFileEndsAtItsLengthAndPlayStartsItAgainFromTheStart) {
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("ends.caf", 1.5)), "");
  expectPlayAfterTheEndStartsAgain(player, true);
}

// After a few seeks, plays and pauses of one file the output went silent while the player showed
// "playing" (a sink stopped and started again shrinks its buffer until it no longer pulls):
// every Play, from wherever, and every seek while playing, must be heard.
TEST_F(AudioPlayerOutputTest, EveryPlayAndEverySeekWhilePlayingIsHeardFromThere) {
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("forty-five.caf", 45.0)), "");
  const double spots[] = {0, 12.5, 30, 3, 41, 20, 7.5, 35, 16, 26, 1, 38};
  for (const double spot : spots) {
    player.seek(spot);
    EXPECT_EQ(player.currentTime(), spot);
    player.play();
    ASSERT_TRUE(heardPast(player, spot)) << "Play at " << spot << ": at " << player.currentTime();
    const double moved = spot < 40 ? spot + 4 : spot - 20;
    player.seek(moved);
    ASSERT_TRUE(heardPast(player, moved)) << "seek to " << moved << " while playing: at " << player.currentTime();
    player.pause();
    const double held = player.currentTime();
    EXPECT_GE(held, moved);
    QTest::qWait(150);
    EXPECT_EQ(player.currentTime(), held);
  }
}

// Seeks, plays, pauses and switches between files, a few hundred of them, each one heard: the
// decoder belongs to the sound thread alone (the audio system's own thread used to decode too,
// asking whether the stream was at its end, and crashed the application within minutes of
// this), and no sink is left silent. Waits are generous: it must pass on a loaded machine.
TEST_F(AudioPlayerOutputTest, HundredsOfSeekPlayPauseAndSwitchCyclesAreEachHeard) {
  const QUrl files[] = {clip("twenty-minutes.mp3", 1200.0), clip("ten-minutes.caf", 600.0),
                        clip("forty-five.caf", 45.0)};
  AudioPlayerService player;
  int file = 0;
  ASSERT_EQ(load(player, files[file]), "");
  player.play();
  unsigned spot = 7;
  for (int cycle = 0; cycle < 300; ++cycle) {
    spot = spot * 1103515245u + 12345u;
    const double to = double(spot % 1000) / 1000.0 * (player.duration() - 5);
    switch (cycle % 5) {
      case 0:  // pause, seek, play
        player.pause();
        player.seek(to);
        player.play();
        break;
      case 1:  // seek while playing
      case 3: player.seek(to); break;
      case 2:  // pause and play on
        player.pause();
        player.play();
        break;
      case 4:  // another file, played from a spot in it
        file = (file + 1) % 3;
        ASSERT_EQ(load(player, files[file]), "") << cycle;
        player.seek(std::min(to, player.duration() - 5));
        player.play();
        break;
    }
    const double from = player.currentTime();
    ASSERT_TRUE(heardPast(player, from)) << "cycle " << cycle << " from " << from << ": at " << player.currentTime()
                                         << (player.isHeard() ? "" : ", not heard");
  }
  EXPECT_EQ(player.problem().toStdString(), "");
}

// Recordings joined end to end change their layout or rate midway: the player's converter, made
// for the first part, crashed the application on the sound thread when playback reached the
// second. Each plays through the joint to its end, heard to its last sound (the output's reading
// behind each position published, the last one too: polled, that one went unseen, and a loaded
// machine's slow ticks hid the last half second), the clock at the length the loader decoded (as
// the application gives it).
TEST_F(AudioPlayerOutputTest, FilesWhoseFormatChangesMidwayPlayThroughToTheEnd) {
  for (const auto& joined : voxtrellis::test::joinedFiles()) {
    const QString path = QString::fromStdString((testsupport::fixturesDir() / "joined" / joined.name).string());
    const double length = parlowvista::AudioProcessor().loadAndResample(path).duration;
    AudioPlayerService player;
    ASSERT_EQ(load(player, QUrl::fromLocalFile(path), 30000, length), "") << joined.name;
    double heard = 0;
    QObject::connect(&player, &AudioPlayerService::currentTimeChanged,
                     [&] { heard = std::max(heard, player.heardPosition().value_or(0)); });
    player.seek(2.7);
    player.play();
    EXPECT_TRUE(waitUntil([&] { return !player.isPlaying(); }, 30000));
    EXPECT_GT(heard, length - 0.02) << joined.name;
    EXPECT_EQ(player.currentTime(), length) << joined.name;
    EXPECT_EQ(player.problem().toStdString(), "") << joined.name;
  }
}

// A file that changes under the player is said where the user looks, and playback ends at the
// sound the file really holds: a WAV cut short and opened again with the length it had (it
// showed that length and "played" silence to it), an MP3 cut while it plays, a file emptied or
// overwritten with noise while loaded (a seek jumped the clock to the end, and Play did nothing,
// saying nothing).
TEST_F(AudioPlayerOutputTest, AFileThatChangesUnderThePlayerIsSaidAndEndsAtTheSoundItHolds) {
  const QString early = QStringLiteral("The sound of %1 ends early: the file may have changed since it was opened");
  AudioPlayerService player;
  auto loadAs = [&](const QString& path, double length) {
    return load(player, QUrl::fromLocalFile(path), 30000, length);
  };
  auto playToTheEnd = [&] {
    player.play();
    EXPECT_TRUE(waitUntil([&] { return !player.isPlaying(); }, 30000));
  };

  const QString wav = clip("cut.wav", 45.0).toLocalFile();  // 32 kB a second
  ASSERT_TRUE(QFile::resize(wav, 100 * 1024));
  ASSERT_EQ(loadAs(wav, 45.0), "");
  EXPECT_NEAR(player.duration(), (100 * 1024 - 44) / 32000.0, 0.01);
  EXPECT_EQ(player.problem().toStdString(), early.arg("cut.wav").toStdString());
  player.seek(2.5);
  playToTheEnd();
  EXPECT_EQ(player.currentTime(), player.duration());
  // Said of the file, it stays while the file does (it went at the first sound heard).
  EXPECT_EQ(player.problem().toStdString(), early.arg("cut.wav").toStdString());

  // Long enough that what the decoder reads ahead holds little of it.
  const QString mp3 =
      clip("cut.mp3", 30.0, {}, QStringLiteral("sine=frequency=440:sample_rate=44100:duration=%1")).toLocalFile();
  ASSERT_EQ(loadAs(mp3, 30.0), "");
  player.seek(8.0);
  ASSERT_TRUE(QFile::resize(mp3, QFileInfo(mp3).size() / 3));
  playToTheEnd();
  EXPECT_NEAR(player.currentTime(), 10.0, 0.3);
  EXPECT_EQ(player.duration(), player.currentTime());
  EXPECT_EQ(player.problem().toStdString(), early.arg("cut.mp3").toStdString());

  const QString emptied = clip("emptied.wav", 10.0).toLocalFile();
  ASSERT_EQ(loadAs(emptied, 10.0), "");
  player.play();
  ASSERT_TRUE(heardPast(player, 0));
  player.pause();
  ASSERT_TRUE(QFile::resize(emptied, 0));
  player.seek(5.0);
  playToTheEnd();
  EXPECT_EQ(player.currentTime(), 5.0);
  EXPECT_EQ(player.problem().toStdString(),
            "Nothing of emptied.wav plays from here: the file may have changed since it was opened");

  const QString noise = clip("noise.mp3", 30.0, {}, QStringLiteral("sine=sample_rate=44100:duration=%1")).toLocalFile();
  ASSERT_EQ(loadAs(noise, 30.0), "");
  player.play();
  ASSERT_TRUE(heardPast(player, 0));
  player.pause();
  {
    QFile file(noise);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes(int(file.size()), Qt::Uninitialized);
    for (auto& byte : bytes) byte = char(QRandomGenerator::global()->generate());
    file.write(bytes);
  }
  player.seek(12.0);
  playToTheEnd();
  EXPECT_EQ(player.currentTime(), 12.0);
  EXPECT_EQ(player.problem().toStdString(),
            "Nothing of noise.mp3 plays from here: the file may have changed since it was opened");
  for (const char* name : {"cut.wav", "cut.mp3", "emptied.wav", "noise.mp3"}) clips.erase(name);
}

// A WAV cut inside a sample frame (a copy or a download cut short) was refused whole by the
// loader, and the player stopped short of its end saying its audio could not be decoded: FFmpeg
// reports the partial last packet as invalid data. Cut at every byte of its last frames, a
// stereo and a 16-channel WAV load what they hold and play it to the end.
TEST_F(AudioPlayerOutputTest, AWavCutInsideASampleFrameLoadsAndPlaysWhatItHolds) {
  constexpr quint32 kRate = 16000, kDataBytesPerChannel = 2 * kRate;  // a second
  AudioPlayerService player;
  for (const quint16 channels : {2, 16}) {
    const int frameBytes = 2 * channels;
    const QByteArray whole = wav(1, channels, kRate, kDataBytesPerChannel * channels);
    for (int cut = channels == 2 ? 2 * frameBytes : frameBytes; cut >= 0; --cut) {
      const std::string name = "cut-" + std::to_string(channels) + "-" + std::to_string(cut) + ".wav";
      const QString path = writtenFile(name, whole.left(whole.size() - cut)).toLocalFile();
      const double held = double((whole.size() - 44 - cut) / frameBytes) / kRate;
      double length = 0;
      try {
        length = parlowvista::AudioProcessor().loadAndResample(path).duration;
      } catch (const std::exception& error) {
        ADD_FAILURE() << name << ": " << error.what();
        continue;
      }
      EXPECT_NEAR(length, held, 2.0 / kRate) << name;
      ASSERT_EQ(load(player, QUrl::fromLocalFile(path), 30000, length), "") << name;
      player.seek(length - 0.2);
      player.play();
      ASSERT_TRUE(waitUntil([&] { return !player.isPlaying(); }, 20000)) << name;
      EXPECT_EQ(player.currentTime(), length) << name;
      EXPECT_EQ(player.problem().toStdString(), "") << name;
      QFile::remove(path);
    }
  }
}

// A file damaged in the middle (tools/fixtures/damaged.py) stopped playing at the damage, saying
// its audio could not be decoded. It plays through the damage to its end, as long as the loader
// makes it, from before the damage and from past it, heard and with nothing said.
TEST_F(AudioPlayerOutputTest, AFileDamagedInTheMiddlePlaysThroughTheDamage) {
  const QString path = QString::fromStdString((testsupport::fixturesDir() / "damaged" / "damaged.flac").string());
  const double length = parlowvista::AudioProcessor().loadAndResample(path).duration;
  EXPECT_NEAR(length, 12.0, 0.001);
  AudioPlayerService player;
  ASSERT_EQ(load(player, QUrl::fromLocalFile(path), 30000, length), "");
  player.seek(5.5);
  player.play();
  EXPECT_TRUE(heardPast(player, 5.5, 0.5));
  player.pause();
  player.seek(3.5);
  player.play();
  double heard = 0;
  EXPECT_TRUE(waitUntil(
      [&] {
        heard = std::max(heard, player.heardPosition().value_or(0));
        return !player.isPlaying();
      },
      30000));
  EXPECT_GT(heard, length - 0.5);
  EXPECT_EQ(player.currentTime(), length);
  EXPECT_EQ(player.problem().toStdString(), "");
}

// A file whose reads fail partway (a failing disk, an SD card, a network share gone away), here
// from its middle byte on: the loader keeps what lies before, and the player's decoder ends where
// the loader's sound does, on an error. The player plays up to there, then stops and says so where
// the user looks (it stopped there as at the file's end, saying nothing).
TEST_F(AudioPlayerOutputTest, AFileWhoseReadsFailPartwayPlaysUpToThereAndSaysSo) {
  const std::pair<std::string, QStringList> files[] = {{"failing.wav", {}},
                                                       {"failing.flac", {"-c:a", "flac"}},
                                                       {"failing.mp3", {"-c:a", "libmp3lame"}},
                                                       {"failing.m4a", {"-c:a", "aac", "-movflags", "+faststart"}}};
  for (const auto& [name, codec] : files) {
    const QString path =
        clip(name, 8.0, codec, QStringLiteral("sine=frequency=440:sample_rate=44100:duration=%1")).toLocalFile();
    const testsupport::ReadFailure failing(path.toStdString(), QFileInfo(path).size() / 2);
    const parlowvista::LoadedAudio loaded = parlowvista::AudioProcessor().loadAndResample(path);
    EXPECT_GT(loaded.duration, 2.0) << name;
    EXPECT_LT(loaded.duration, 6.0) << name;
    EXPECT_TRUE(loaded.damage.startsWith(QString::fromStdString("Nothing of " + name + " could be read from ")))
        << loaded.damage.toStdString();
    const std::string said = "The rest of " + name + " cannot be read (Input/output error): playback stops here";

    parlowvista::PlaybackDecoder decoder(path, AudioPlayerService::probeFormat());
    QByteArray sound;
    while (decoder.decode(sound, 1 << 16)) {
    }
    const QAudioFormat& format = decoder.format();
    EXPECT_NEAR(double(sound.size() / format.bytesPerFrame()) / format.sampleRate(), loaded.duration, 0.002) << name;
    EXPECT_TRUE(decoder.stoppedOnError()) << name;
    EXPECT_EQ(decoder.stopReason().toStdString(), said);

    AudioPlayerService player;
    ASSERT_EQ(load(player, QUrl::fromLocalFile(path), 30000, loaded.duration), "") << name;
    player.seek(loaded.duration - 1.0);
    player.play();
    EXPECT_TRUE(waitUntil([&] { return !player.isPlaying(); }, 30000)) << name;
    // The output tells of the stop first, and of why just after it.
    EXPECT_TRUE(waitUntil([&] { return player.problem().toStdString() == said; }, 30000))
        << player.problem().toStdString();
    EXPECT_NEAR(player.currentTime(), loaded.duration, 0.3) << name;
    EXPECT_GT(testsupport::ReadFailure::failures(), 0) << name;
  }
}

// A file that cannot be read again (a container that cannot seek, emptied while it plays) says
// so; said while the file is being let go (the event loop busy meanwhile), it is not said after.
TEST_F(AudioPlayerOutputTest, WhatIsSaidOfAFileLetGoIsNotSaidAfterIt) {
  const QString path = clip("let-go.vag", 8.0).toLocalFile();
  AudioPlayerService player;
  for (const bool letGo : {false, true}) {
    ASSERT_EQ(load(player, QUrl::fromLocalFile(path)), "");
    player.play();
    ASSERT_TRUE(heardPast(player, 0));
    ASSERT_TRUE(QFile::resize(path, 0));
    player.seek(5.0);
    if (letGo) {
      QThread::msleep(1500);
      player.stop();
      QTest::qWait(300);
      EXPECT_EQ(player.problem().toStdString(), "");
    } else {
      EXPECT_TRUE(waitUntil([&] { return !player.problem().isEmpty(); }, 20000));
      EXPECT_EQ(player.problem().toStdString(), "Cannot open audio file: let-go.vag");
      clips.erase("let-go.vag");
      clip("let-go.vag", 8.0);
    }
  }
  clips.erase("let-go.vag");
}

// Planar output of more than eight channels was copied into an eight-entry array of plane
// pointers, which the converter read past: a crash at Play. They play as the mean of their
// channels (the resampler's own mix of such layouts adds them up, near full scale).
TEST_F(AudioPlayerOutputTest, FilesOfSixteenAndTwentyFourChannelsPlayMixedDown) {
  for (const int channels : {16, 24}) {
    QStringList tones;
    for (int c = 0; c < channels; ++c) tones << QStringLiteral("0.5*sin(2*PI*%1*t)").arg(220 + 20 * c);
    const std::string name = "channels-" + std::to_string(channels) + ".opus";
    const QUrl url = clip(name, 3.0, {"-c:a", "libopus", "-mapping_family", "255"},
                          QStringLiteral("aevalsrc='%1':s=48000:d=%2").arg(tones.join('|'), QStringLiteral("%1")));
    AudioPlayerService player;
    ASSERT_EQ(load(player, url), "") << name;
    player.play();
    EXPECT_TRUE(heardPast(player, 0, 1.0)) << name << " at " << player.currentTime();
    player.seek(1.0);
    EXPECT_TRUE(heardPast(player, 1.0, 0.5)) << name << " at " << player.currentTime();
    EXPECT_EQ(player.problem().toStdString(), "");

    QAudioFormat format;
    format.setSampleRate(48000);
    format.setChannelCount(2);
    format.setSampleFormat(QAudioFormat::Float);
    parlowvista::PlaybackDecoder decoder(url.toLocalFile(), format);
    decoder.seek(1.0);
    QByteArray sound;
    decoder.decode(sound, format.bytesForDuration(1000000));
    double square = 0;
    const auto* samples = reinterpret_cast<const float*>(sound.constData());
    const qsizetype count = sound.size() / qsizetype(sizeof(float));
    for (qsizetype i = 0; i < count; ++i) square += double(samples[i]) * samples[i];
    // Each tone at half scale, divided among the channels: 0.5 × √(channels / 2) / channels.
    EXPECT_NEAR(std::sqrt(square / double(count)), 0.5 * std::sqrt(channels / 2.0) / channels, 0.01) << name;
  }
}

// A header declaring 1 Hz asked the converter for a whole packet's output at once: about 1.5 GB
// for a 32 kB file at Play, and again at each seek. The conversion goes in bounded steps. A rate
// that low is one the loader refuses, and the player refuses it too, in the loader's plain words;
// the lowest the loader takes plays, in bounded memory.
TEST_F(AudioPlayerOutputTest, AHeaderRateTooLowForTheLoaderIsRefusedAndTheLowestItTakesPlaysInBoundedMemory) {
  AudioPlayerService player;
  EXPECT_EQ(load(player, writtenFile("one-hertz.wav", wav(1, 1, 1, 32000))),
            "Cannot play one-hertz.wav: not an audio file, or damaged");
  const QUrl url = writtenFile("lowest-rate.wav", wav(1, 1, 1000, 32000));
  ASSERT_EQ(load(player, url), "");
  const long before = peakResidentKilobytes();
  player.play();
  EXPECT_TRUE(heardPast(player, 0, 0.5)) << player.currentTime();
  for (const double spot : {5.0, 12.0}) {
    player.seek(spot);
    EXPECT_TRUE(heardPast(player, spot, 0.5)) << player.currentTime();
  }
  EXPECT_LT(peakResidentKilobytes() - before, 256 * 1024);
}

// A container that cannot seek is read again from its start; that used to throw out of the
// sound thread when the file could not be opened again (here: deleted while it played), ending
// the application. It is read from the descriptor kept open, so it plays on from the seek.
TEST_F(AudioPlayerOutputTest, AContainerThatCannotSeekPlaysOnFromASeekAfterItsFileIsGone) {
  const QUrl url = clip("no-seek.vag", 8.0);
  AudioPlayerService player;
  ASSERT_EQ(load(player, url), "");
  player.play();
  ASSERT_TRUE(heardPast(player, 0));
  ASSERT_TRUE(QFile::remove(url.toLocalFile()));
  testsupport::AudioPlayerTest::clips.erase("no-seek.vag");
  player.seek(5.0);
  EXPECT_TRUE(heardPast(player, 5.0)) << player.currentTime();
  EXPECT_TRUE(player.isPlaying());
  EXPECT_EQ(player.problem().toStdString(), "");
}

// A path that is no regular file (a FIFO here; a device, a socket) was opened by the player's
// look into the file, which then waited for a writer for ever: the load never ended, quitting
// waited on it, and two such files took every load thread. It is refused at once now.
TEST_F(AudioPlayerOutputTest, APathThatIsNoRegularFileIsRefusedAndLaterLoadsGoOn) {
  const QString fifo = pathIn("pipe.wav");
  ::unlink(QFile::encodeName(fifo).constData());
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  // Lets an open that waits for a writer go, so that a player that opens it fails rather than
  // hangs the test.
  auto releaseReaders = [&] {
    const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
  };
  for (int round = 0; round < 2; ++round) {
    AudioPlayerService player;
    const QString outcome = load(player, QUrl::fromLocalFile(fifo), 10000);
    if (outcome == "never finished") releaseReaders();
    EXPECT_EQ(outcome.toStdString(), "Cannot open audio file: pipe.wav (not a regular file)");
    EXPECT_EQ(player.problem().toStdString(), outcome.toStdString());
  }
  AudioPlayerService player;
  EXPECT_EQ(load(player, clip("clip.wav", 2.0), 10000), "");
  releaseReaders();
}

// The whole application ended while playing: libpulse aborted now and then in the process's
// static teardown, where Qt Multimedia ends its PulseAudio connection while PulseAudio's own
// thread still runs (about one exit in two thousand on a busy machine). The process now leaves
// without that teardown, as the application does. Children quit while two players play, a few
// at a time; PV_TEST_QUIT_CHILDREN asks for more of them (several hundred, for a loaded machine).
TEST_F(AudioPlayerOutputTest, QuittingWhilePlayingEndsTheProcessCleanly) {
  const int children = qEnvironmentVariableIntValue("PV_TEST_QUIT_CHILDREN") > 0
                           ? qEnvironmentVariableIntValue("PV_TEST_QUIT_CHILDREN")
                           : 200;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("PV_TEST_QUIT_TONE", clip("quit.wav", 5.0).toLocalFile());
  environment.insert(testsupport::kChildRunVariable, "1");
  const QStringList arguments{"--gtest_filter=AudioPlayerQuitChildProcess.*"};
  constexpr int kAtOnce = 4;
  int started = 0, ended = 0;
  std::deque<std::pair<std::unique_ptr<testsupport::Spawned>, QString>> running;
  while (ended < children) {
    while (started < children && running.size() < kAtOnce) {
      const QString log = pathIn("quit-" + std::to_string(started++) + ".log");
      running.emplace_back(
          std::make_unique<testsupport::Spawned>(QCoreApplication::applicationFilePath(), arguments, log, environment),
          log);
    }
    auto& [child, log] = running.front();
    const auto exitCode = child->waitForExit(60000);
    const QString output = readAll(log);
    ASSERT_EQ(exitCode, 0) << "child " << ended << ": " << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
    EXPECT_FALSE(output.contains("Assertion")) << output.toStdString();
    QFile::remove(log);
    running.pop_front();
    ++ended;
  }
}

TEST(AudioPlayerQuitChildProcess, PlaysTwoFilesAndQuits) {
  PV_SKIP_WITHOUT_SOUND_OUTPUT();
  const QString path = qEnvironmentVariable("PV_TEST_QUIT_TONE");
  ASSERT_TRUE(QFile::exists(path)) << "started without a file to play";
  static auto* kept = new AudioPlayerService;  // lives to the application's end, as the app's
  auto* player = new AudioPlayerService;
  for (AudioPlayerService* p : {kept, player}) {
    std::optional<QString> outcome;
    p->load(QUrl::fromLocalFile(path), [&](const QString& error) { outcome = error; });
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, 20000));
    p->play();
  }
  ASSERT_TRUE(waitUntil([&] { return kept->isHeard() && player->isHeard(); }, 20000));
  player->seek(2);
  delete player;
}

// Without any audio output the player's own clock stands in: the same behaviour, also after
// the end, and the user is told that nothing is heard (it used to play silence saying nothing).
// In a child process whose sound server does not exist.
TEST(AudioPlayerWithoutOutputTest, TheOwnClockPlaysAfterTheEndToo) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("PULSE_SERVER", "unix:/nonexistent/sound-server");
  const auto child = testsupport::runTestsSpawned(environment, "AudioPlayerWithoutOutputChildProcess.*", 120000);
  EXPECT_EQ(child.exitCode, 0) << child.output.toStdString();
  EXPECT_TRUE(child.output.contains("[  PASSED  ] 1 test")) << child.output.toStdString();
}

class AudioPlayerWithoutOutputChildProcess : public testsupport::AudioPlayerTest {};

TEST_F(AudioPlayerWithoutOutputChildProcess, PlaysAfterTheEnd) {
  ASSERT_FALSE(testsupport::haveSoundOutput());
  AudioPlayerService player;
  ASSERT_EQ(load(player, clip("ends.wav", 1.5)), "");
  EXPECT_EQ(player.problem().toStdString(), "");
  expectPlayAfterTheEndStartsAgain(player, false);
  EXPECT_EQ(player.problem().toStdString(), "No sound: the audio output is not available");
}

}  // namespace
