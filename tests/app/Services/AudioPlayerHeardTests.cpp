// What the player's output really plays, recorded from a sound server of the test's own (in a
// child process, so that no other test's sound mixes in) and compared with the file: a file of
// one-second regions, each its own tone, tells from where in the file each moment of sound comes.

#include "Services/AudioPlayerService.h"
#include "Services/AudioProcessor.h"

#include "app/Services/AudioPlayerTestSupport.h"
#include "engine/Shared/AudioTestFiles.h"
#include "support/FixturePaths.h"
#include "support/QtWait.h"
#include "support/ReadFailure.h"
#include "support/SoundServer.h"
#include "support/ToneSignal.h"

#include <QRegularExpression>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

using parlowvista::AudioPlayerService;
using testsupport::waitUntil;
using testsupport::RegionTones::Block;
using testsupport::RegionTones::firstRegion;
using testsupport::RegionTones::secondsOf;
using testsupport::RegionTones::sequence;
using testsupport::RegionTones::startOf;

namespace {

TEST(AudioPlayerHeardTest, WhatTheOutputPlaysComesFromTheFileWhereItWasAsked) {
  if (QStandardPaths::findExecutable("pulseaudio").isEmpty() || QStandardPaths::findExecutable("parec").isEmpty()) {
    GTEST_SKIP() << "pulseaudio or parec is missing (tools/install-deps installs them)";
  }
  testsupport::PrivateSoundServer server;
  ASSERT_TRUE(server.isRunning()) << server.log().toStdString();
  // The child makes and decodes a 30-minute file, which a machine at a load of 77 took over six
  // minutes to; CTest gives the test 20 (tests/CMakeLists.txt).
  const auto child =
      testsupport::runTestsSpawned(server.clientEnvironment(), "AudioPlayerHeardChildProcess.*", 1080000);
  EXPECT_EQ(child.exitCode, 0) << child.output.toStdString();
  EXPECT_TRUE(child.output.contains("[  PASSED  ] 6 tests")) << child.output.toStdString();
}

class AudioPlayerHeardChildProcess : public testsupport::AudioPlayerTest {
 protected:
  void SetUp() override {
    PV_SKIP_WITHOUT_SOUND_OUTPUT();
    ASSERT_TRUE(recording.start(16000));
    ASSERT_EQ(load(player, regions()), "");
  }

  // Eleven and a half seconds: the last region lasts half a second.
  static QUrl regions() {
    return clip("regions.wav", 11.5, {}, QStringLiteral("aevalsrc='0.25*sin(2*PI*(300+200*floor(t))*t)':s=48000:d=%1"));
  }

  // What was heard from sample `mark` of the recording on, once the output has fallen silent.
  std::vector<Block> heardSince(qint64 mark) {
    EXPECT_TRUE(recording.waitForSilence());
    return testsupport::RegionTones::regionsHeard(recording.samples(mark), recording.rate());
  }

  // Plays from `seconds`, the output silent before, until the output has played `length` seconds
  // of it (or playback stopped), and pauses: what was recorded from the Play on.
  std::vector<float> recordedFrom(double seconds, double length = 0.5) {
    player.pause();
    EXPECT_TRUE(recording.waitForSilence());
    const qint64 mark = recording.size();
    player.seek(seconds);
    player.play();
    EXPECT_TRUE(waitUntil([&] { return !player.isPlaying() || player.heardPosition() >= seconds + length; }, 20000));
    EXPECT_TRUE(player.isPlaying()) << "from " << seconds << ": " << player.problem().toStdString();
    player.pause();
    EXPECT_TRUE(recording.waitForSilence());
    return recording.samples(mark);
  }
  std::vector<Block> playFrom(double seconds, double length = 0.5) {
    return testsupport::RegionTones::regionsHeard(recordedFrom(seconds, length), recording.rate());
  }

  // The regions `recorded` holds are `expected` (or begin with it, `thenAny`); when they are not,
  // the recording is kept and the failure says where.
  void expectHeard(const std::vector<float>& recorded, const std::string& expected, const std::string& what,
                   bool thenAny = false) {
    const std::string heard = sequence(testsupport::RegionTones::regionsHeard(recorded, recording.rate()));
    if (thenAny ? heard.substr(0, expected.size()) == expected : heard == expected) return;
    ADD_FAILURE() << what << ": heard \"" << heard << "\", expected \"" << expected
                  << "\"; the recording: " << recording.keep(recorded, QString::fromStdString(what)).toStdString();
  }

  void expectEachPlayHeardWhereTheLoaderHasIt(const std::vector<float>& loaded, const std::vector<double>& spots,
                                              const std::string& name, double leastJudged);

  testsupport::OutputRecording recording;
  AudioPlayerService player;
};

// A seek while playing replaces the output's sink, and until the new one sounds the old place
// plays on: on a loaded machine for a few tenths of a second. Each such seek is therefore sent
// early in a second, once this much of it was heard, leaving most of the second before the next
// change of tone.
constexpr double kSeekWhilePlayingAfter = 0.2;

// The first sound after a Play comes from the place asked for, not from where playback was
// before (a stream that kept what it had buffered for the old place played that first), and at
// the file's own level: one channel on both speakers, neither lowered nor doubled.
TEST_F(AudioPlayerHeardChildProcess, EveryPlayIsHeardFromWhereItWasAskedAtTheFilesOwnLevel) {
  std::vector<double> amplitudes;
  for (const double spot : {5.3, 1.4, 9.5, 0.2, 3.6}) {
    const std::vector<Block> heard = playFrom(spot);
    const int region = int(spot);
    EXPECT_EQ(firstRegion(heard), region) << "Play at " << spot << " heard " << sequence(heard);
    EXPECT_GE(secondsOf(heard, region), 0.3) << "Play at " << spot << " heard " << sequence(heard);
    for (const Block& block : heard) {
      if (block.region >= 0) amplitudes.push_back(block.amplitude);
    }
  }
  ASSERT_FALSE(amplitudes.empty());
  std::sort(amplitudes.begin(), amplitudes.end());
  EXPECT_NEAR(amplitudes[amplitudes.size() / 2], 0.25, 0.025);

  // A seek while playing goes from the old place straight to the new one.
  player.pause();
  ASSERT_TRUE(recording.waitForSilence());
  const qint64 mark = recording.size();
  player.seek(2.1);
  player.play();
  ASSERT_TRUE(heardPast(player, 2.1, kSeekWhilePlayingAfter));
  player.seek(7.4);
  EXPECT_TRUE(heardPast(player, 7.4, 0.4));
  expectHeard(recording.samples(mark), "2 7", "a seek from 2.1 to 7.4 while playing");

  // A file loaded while one plays: the old one falls silent at once, and the new one is heard
  // clean (both at once mix their tones).
  const qint64 switched = recording.size();
  ASSERT_EQ(load(player, regions()), "");
  player.seek(0.2);
  player.play();
  ASSERT_TRUE(heardPast(player, 0.2, 0.6));
  player.pause();
  const std::vector<Block> afterSwitch = heardSince(switched);
  EXPECT_GE(secondsOf(afterSwitch, 0), 0.4) << sequence(afterSwitch);

  // Muted while playing (a video bar shows its video, which carries the sound): silent at once,
  // also from a seek and in the next file loaded.
  player.play();
  ASSERT_TRUE(heardPast(player, player.currentTime(), 0.2));
  player.setMuted(true);
  QTest::qWait(300);
  const qint64 muted = recording.size();
  QTest::qWait(400);
  player.seek(4.0);
  QTest::qWait(400);
  ASSERT_EQ(load(player, regions()), "");
  player.play();
  ASSERT_TRUE(heardPast(player, 0, 0.4));
  player.pause();
  EXPECT_EQ(sequence(heardSince(muted)), "");
}

// In a file whose rate changes midway, a seek into the other part was counted at the rate of the
// part being decoded: every frame seemed to lie before it, nothing played and the player said the
// file had changed. In each joined file, a seek from one part into the other and back, paused or
// playing, is heard from the second asked for. The seconds are the loader's, and in them the
// second part's tones begin later by that part's codec delay, which the loader keeps (the 8 kHz
// MP3's encoder primes 1105 samples: its fourth second's tone begins at 4.14 s, and a seek to
// 4.1 s rightly plays the third's last 40 ms first): each seek goes a little into a second where
// the loader's sound of it begins.
TEST_F(AudioPlayerHeardChildProcess, EveryPartOfAJoinedFilePlaysFromASeekIntoIt) {
  for (const auto& joined : voxtrellis::test::joinedFiles()) {
    const QString path = QString::fromStdString((testsupport::fixturesDir() / "joined" / joined.name).string());
    const parlowvista::LoadedAudio loaded = parlowvista::AudioProcessor().loadAndResample(path);
    const std::vector<Block> regions = testsupport::RegionTones::regionsHeard(loaded.samples, 16000);
    const auto into = [&](int region, double seconds) {
      const double start = startOf(regions, region);
      EXPECT_TRUE(start >= region && start < region + 0.2) << joined.name << ": second " << region << " at " << start;
      return start + seconds;
    };
    ASSERT_EQ(load(player, QUrl::fromLocalFile(path), 30000, loaded.duration), "") << joined.name;
    // Paused: each Play finds the decoder in the other part.
    for (const double spot : {into(1, 0.3), into(4, 0.3), into(1, 0.3)}) {
      const std::vector<Block> heard = playFrom(spot, 0.3);
      EXPECT_EQ(firstRegion(heard), int(spot)) << joined.name << ", Play at " << spot << " heard " << sequence(heard);
    }
    // Playing, from early in second 1, each seek early in its second.
    const double from = into(1, 0.1);
    player.seek(from);
    ASSERT_TRUE(recording.waitForSilence());
    const qint64 mark = recording.size();
    player.play();
    ASSERT_TRUE(heardPast(player, from, kSeekWhilePlayingAfter)) << joined.name;
    for (const double spot : {into(4, 0.1), into(1, 0.1)}) {
      player.seek(spot);
      EXPECT_TRUE(heardPast(player, spot, kSeekWhilePlayingAfter))
          << joined.name << ", seek to " << spot << " while playing";
    }
    player.pause();
    EXPECT_TRUE(recording.waitForSilence());
    expectHeard(recording.samples(mark), "1 4 1", joined.name + ", seeks to seconds 4 and 1 while playing", true);
    EXPECT_EQ(player.problem().toStdString(), "") << joined.name;
  }
}

// Where in the loader's samples (16 kHz, as the recording) the first sound of `recorded` comes
// from, within a second of `target`, and how well it matches there (1 for the same sound). The
// first sound is what is heard from its onset on, a fifth of a second of it, or less where the
// output drops out before that (a loaded machine's output falls silent now and then, for 10 ms
// or more, and then goes on later: what follows the gap is no longer the first sound).
struct FirstSound {
  double heardSeconds = 0;  // judged: up to the first gap, at most a fifth of a second
  double from = 0;          // where in the file it matches best
  double match = -1;
};
constexpr std::size_t kRate = 16000;
// Shorter than this before a gap, the first sound tells too little: the seek is made again.
constexpr double kLeastJudgedSeconds = 0.05;

std::optional<FirstSound> whereHeardFrom(const std::vector<float>& recorded, const std::vector<float>& loaded,
                                         double target) {
  constexpr std::size_t kWindow = kRate / 5, kGap = kRate / 200;
  const auto onset =
      std::find_if(recorded.begin(), recorded.end(), [](float sample) { return std::abs(sample) > 0.02f; });
  if (onset == recorded.end()) return std::nullopt;
  const float* heard = &*onset;
  const auto available = std::size_t(recorded.end() - onset);
  // Digital silence in the middle of noise (which never stays this near zero for 5 ms): a gap.
  std::size_t window = std::min(kWindow, available), quiet = 0;
  for (std::size_t i = 0; i < window; ++i) {
    quiet = std::abs(heard[i]) < 0.002f ? quiet + 1 : 0;
    if (quiet == kGap) window = i + 1 - kGap;
  }
  FirstSound first;
  first.heardSeconds = double(window) / kRate;
  double heardEnergy = 0;
  for (std::size_t i = 0; i < window; ++i) heardEnergy += double(heard[i]) * heard[i];
  const auto begin = std::size_t(std::max(0.0, target - 1.0) * kRate);
  for (std::size_t at = begin; at < std::size_t((target + 1.0) * kRate) && at + window <= loaded.size(); ++at) {
    double product = 0, energy = 0;
    for (std::size_t i = 0; i < window; ++i) {
      product += double(loaded[at + i]) * heard[i];
      energy += double(loaded[at + i]) * loaded[at + i];
    }
    const double match = product / std::sqrt(energy * heardEnergy + 1e-12);
    if (match > first.match) first = FirstSound{first.heardSeconds, double(at) / kRate, match};
  }
  return first;
}

// Each Play from one of `spots` (seconds) in the loaded file is heard from the loader's sound
// (`loaded`) at that time within 30 ms. Where the output dropped out within the first
// `leastJudged` seconds heard (a loaded machine), the seek is made again, up to three times.
void AudioPlayerHeardChildProcess::expectEachPlayHeardWhereTheLoaderHasIt(const std::vector<float>& loaded,
                                                                          const std::vector<double>& spots,
                                                                          const std::string& name, double leastJudged) {
  for (const double spot : spots) {
    std::vector<float> recorded;
    std::optional<FirstSound> heard;
    for (int attempt = 0; attempt < 3 && !(heard && heard->heardSeconds >= leastJudged); ++attempt) {
      recorded = recordedFrom(spot, 0.4);
      heard = whereHeardFrom(recorded, loaded, spot);
    }
    const std::string what = name + " from " + std::to_string(spot);
    ASSERT_TRUE(heard) << what << ": nothing heard";
    if (heard->heardSeconds >= leastJudged && heard->match > 0.6 && std::abs(heard->from - spot) <= 0.03) continue;
    ADD_FAILURE() << what << ": the first " << heard->heardSeconds << " s heard match the file at " << heard->from
                  << " (" << heard->match << "; asked: more than 0.6 within 0.03 s, of at least " << leastJudged
                  << " s); the recording: " << recording.keep(recorded, QString::fromStdString(what)).toStdString();
  }
}

// The first sound after a seek came from elsewhere than the loader puts the time sought (the
// transcript's timeline): in MP3 35 to 135 ms late and up to 0.6 s in a VBR one (silence from
// the decoder's first frames, and the reader's guessed stamps), in ADTS AAC early. Every Play
// after a seek (a row's ▶ is one) is heard from the loader's sound at that time within 30 ms,
// in every format, past a change of rate and past damage skipped (files of noise, any tenth of
// a second of which is found in the file to the sample: tools/fixtures/seeks.py).
TEST_F(AudioPlayerHeardChildProcess, TheFirstSoundAfterASeekIsTheLoadersSoundAtThatTime) {
  const std::map<std::string, std::vector<double>> seeks{{"noise.wav", {2.7, 7.3}},
                                                         {"noise-cbr.mp3", {2.7, 9.31}},
                                                         {"noise-vbr.mp3", {7.3, 2.7}},
                                                         {"noise-48k.mp3", {5.55}},
                                                         {"noise.m4a", {2.7, 7.3}},
                                                         {"noise-mp3.m4a", {6.1}},
                                                         {"noise.aac", {9.31, 2.7}},
                                                         {"noise.flac", {7.3}},
                                                         {"joined-44100-22050.mp3", {8.6, 3.2}},
                                                         {"joined-48000-24000.aac", {10.4, 5.9}},
                                                         {"damaged.flac", {5.0}},
                                                         {"damaged.aac", {6.2}}};
  for (const auto& [name, spots] : seeks) {
    const QString path = QString::fromStdString((testsupport::fixturesDir() / "seeks" / name).string());
    const parlowvista::LoadedAudio loaded = parlowvista::AudioProcessor().loadAndResample(path);
    ASSERT_EQ(load(player, QUrl::fromLocalFile(path), 30000, loaded.duration, loaded.places), "") << name;
    expectEachPlayHeardWhereTheLoaderHasIt(loaded.samples, spots, name, kLeastJudgedSeconds);
    EXPECT_EQ(player.problem().toStdString(), "") << name;
  }
}

// Files whose own reckoning of where a time lies misleads: a 30-minute ADTS file, a tone whose
// pitch changes every second, with the frame-length field 0 in the first header at 10 % and at
// 35 % of its bytes (the reader loses several frames at the first), and a WAV whose header states
// the wrong bytes per second. The player counted the ADTS file's time again from headers and
// byte positions, which the second damage put megabytes off: a seek between the two said "its
// audio cannot be decoded", every one past the second that the file had changed. The WAV was
// sought by the bytes per second stated (the mono figure played minute 15 for minute 30; twice
// the true one played twice the time, then nothing; 0x7FFFFFFF and 0xFFFFFFFF nothing at all).
// Containers whose stamps are not the loader's seconds were sought by those stamps: a CAF stating
// 513 frames per packet of one played 0.65 to 0.97 s from where it was asked, an ALAC CAF stating
// a rate of 10^190 Hz elsewhere, and then said the file may have changed. A FLAC file was gone to
// where the loader found its sound, but its first frame was laid at its own number: where the
// description states a quarter of its frames' rate, at four times its time (nothing was heard);
// where a stretch is written twice, the stretch's length early (the sound of 9.72 s for 9.3). Given the loader's length
// and places, as the application gives them, each seek is heard where the loader has its time, within 30 ms, and
// nothing is said. The tone's seconds are alike to a period of their pitch: each seek is to just before a change of
// pitch, and the first tenth of a second heard, across the change, is judged.
TEST_F(AudioPlayerHeardChildProcess, SeeksInFilesWhoseHeadersMisleadAreHeardWhereTheLoaderHasTheirTime) {
  const std::string tone = pathIn("tone-30min.aac").toStdString();
  ASSERT_TRUE(voxtrellis::test::ffmpegMake(
      tone,
      "-f lavfi -i 'aevalsrc=0.3*sin(2*PI*(400+150*mod(floor(t)\\,24))*t):s=44100:d=1800' -ac 1 -c:a aac "
      "-b:a 96k -f adts"));
  std::string bytes = testsupport::readFile(tone);
  const std::size_t first = voxtrellis::test::adtsHeaderPast(bytes, 0.10);
  const std::size_t second = voxtrellis::test::adtsHeaderPast(bytes, 0.35);
  ASSERT_LT(second, bytes.size());
  bytes = voxtrellis::test::withAdtsFrameLength(voxtrellis::test::withAdtsFrameLength(bytes, first, 0), second, 0);
  const QUrl damaged = writtenFile("two-unreadable-headers.aac", QByteArray::fromStdString(bytes));
  const parlowvista::LoadedAudio loaded = parlowvista::AudioProcessor().loadAndResample(damaged.toLocalFile());
  EXPECT_NEAR(loaded.duration, 1800.0, 1.0);
  ASSERT_EQ(load(player, damaged, 60000, loaded.duration, loaded.places), "");
  expectEachPlayHeardWhereTheLoaderHasIt(loaded.samples, {250.93, 903.93, 1620.93, 1100.93, 1790.93},
                                         "two-unreadable-headers.aac", 0.12);
  EXPECT_EQ(player.problem().toStdString(), "");
  EXPECT_EQ(player.duration(), loaded.duration);

  const QUrl wav = clip("noise-stereo.wav", 60, {"-ac", "2"},
                        QStringLiteral("anoisesrc=c=pink:seed=7:r=44100:a=0.3:d=%1,lowpass=f=3000"));
  const QByteArray whole = QByteArray::fromStdString(testsupport::readFile(wav.toLocalFile().toStdString()));
  const qsizetype rateField = whole.indexOf("fmt ") + 16;
  for (const quint32 stated : {88200u, 352800u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    QByteArray misstated = whole;
    for (int i = 0; i < 4; ++i) misstated[rateField + i] = char(stated >> (8 * i));
    const std::string name = "byte-rate-" + std::to_string(stated) + ".wav";
    const QUrl file = writtenFile(name, misstated);
    const parlowvista::LoadedAudio sound = parlowvista::AudioProcessor().loadAndResample(file.toLocalFile());
    // Half of them without the loader's places, as a version whose samples an earlier build kept
    // (with none for a WAV) is opened: sought by rate and block size.
    const bool byPlaces = stated == 88200u || stated == 0x7FFFFFFFu;
    ASSERT_EQ(load(player, file, 30000, sound.duration, byPlaces ? sound.places : nullptr), "") << name;
    EXPECT_EQ(player.seeksByLoadersPlaces(), byPlaces) << name;
    expectEachPlayHeardWhereTheLoaderHasIt(sound.samples, {12.06, 47.94, 30.12}, name, kLeastJudgedSeconds);
    EXPECT_EQ(player.problem().toStdString(), "") << name;
  }

  const auto bytesOf = [](const QUrl& file) { return testsupport::readFile(file.toLocalFile().toStdString()); };
  const QString noise = QStringLiteral("anoisesrc=c=pink:seed=7:r=44100:a=0.3:d=%1,lowpass=f=3000");
  const std::string caf = bytesOf(clip("noise.caf", 12, {"-ac", "2", "-c:a", "pcm_s16be"}, noise));
  const std::string alac = bytesOf(clip("noise-alac.caf", 12, {"-ac", "2", "-c:a", "alac"}, noise));
  const std::string flac = bytesOf(clip("noise.flac", 12, {"-ac", "2"}, noise));
  std::string twice = flac;
  twice.insert(flac.size() * 3 / 5, flac.substr(flac.size() * 2 / 5, flac.size() / 20));
  const std::map<std::string, std::string> misleading{
      {"513-frames-per-packet.caf", voxtrellis::test::cafStating(caf, std::nullopt, 513)},
      {"rate-1e190.caf", voxtrellis::test::cafStating(alac, 1e190, std::nullopt)},
      {"quarter-rate.flac", voxtrellis::test::flacStatingRate(flac, 11025)},
      {"stretch-twice.flac", twice}};
  for (const auto& [name, bytes] : misleading) {
    const QUrl file = writtenFile(name, QByteArray::fromStdString(bytes));
    const parlowvista::LoadedAudio sound = parlowvista::AudioProcessor().loadAndResample(file.toLocalFile());
    ASSERT_EQ(load(player, file, 30000, sound.duration, sound.places), "") << name;
    expectEachPlayHeardWhereTheLoaderHasIt(sound.samples, {9.3, 4.1}, name, kLeastJudgedSeconds);
    EXPECT_EQ(player.problem().toStdString(), "") << name;
  }
}

// The first header of an MP3 frame (MPEG-1 layer III, 128 kb/s at 44.1 kHz, as the test makes
// it) at or past byte `from`: a sync word whose frame is followed by another's.
std::size_t mp3HeaderFrom(const std::string& bytes, std::size_t from) {
  const auto header = [&](std::size_t at) {
    return at + 4 <= bytes.size() && static_cast<unsigned char>(bytes[at]) == 0xFF &&
           static_cast<unsigned char>(bytes[at + 1]) == 0xFB;
  };
  for (std::size_t at = from; at + 4 <= bytes.size(); ++at) {
    const std::size_t length = 417 + ((static_cast<unsigned char>(bytes[at + 2]) >> 1) & 1);
    if (header(at) && header(at + length)) return at;
  }
  return bytes.size();
}

// Raw files over 4 MB damaged in several places, as a broken copy or a failing card leaves them:
// ten minutes of noise with three seconds of digital silence from the 30th second of every
// minute. An ADTS file with two headers stating 8191 bytes (each swallows the frames after it),
// 4 kB zeroed in sound and 200 bytes zeroed from a silent frame's header; an MP3 with a header
// zeroed, 4 kB zeroed in sound and 200 bytes zeroed from a header in silence. The player reckoned
// such files' time again from headers and byte positions, and each kind of damage put it
// somewhere else (+627 ms past each overlong header, a frame early past damage in silence). Each
// seek is heard where the loader has its time, within 30 ms. The loader says each damaged stretch,
// and what they cost together: no less than four fifths of the time gone, and no more than a tenth
// of a second a stretch over it (an MP3 decoder's first frames after damage, which lack the bytes
// they borrow from the frames before, count as lost, though they take their time). A file whose
// reads fail from four fifths of its bytes on plays where the loader has it up to there, and says
// why it stops there.
TEST_F(AudioPlayerHeardChildProcess, SeeksInLargeRawFilesDamagedInSeveralPlacesAreHeardWhereTheLoaderHasTheirTime) {
  const std::string source = "-f lavfi -i \"" + voxtrellis::test::noiseSource(600) +
                             ",volume='if(between(mod(t,60),30,33),0,1)':eval=frame\" -ac 1 ";
  const std::string aacPath = pathIn("noise-10min.aac").toStdString();
  const std::string mp3Path = pathIn("noise-10min.mp3").toStdString();
  ASSERT_TRUE(voxtrellis::test::ffmpegMake(aacPath, source + "-c:a aac -b:a 96k -f adts"));
  ASSERT_TRUE(voxtrellis::test::ffmpegMake(mp3Path, source + "-c:a libmp3lame -b:a 128k"));
  const std::string aac = testsupport::readFile(aacPath), mp3 = testsupport::readFile(mp3Path);
  ASSERT_GT(aac.size(), 4u << 20);
  const std::vector<std::size_t> frames = voxtrellis::test::adtsFrames(aac);
  const auto aacHeader = [&](double seconds) { return frames.at(std::size_t(seconds * 44100 / 1024)); };
  std::string hurtAac = voxtrellis::test::withAdtsFrameLength(
      voxtrellis::test::withAdtsFrameLength(aac, aacHeader(120.5), 8191), aacHeader(360.5), 8191);
  hurtAac.replace(aacHeader(200.5) + 100, 4096, 4096, '\0');
  hurtAac.replace(aacHeader(391.5), 200, 200, '\0');
  // Constant bit rate: a time's bytes lie that far into the file.
  const auto mp3Header = [&](double seconds) { return mp3HeaderFrom(mp3, std::size_t(seconds / 600 * mp3.size())); };
  std::string hurtMp3 = mp3;
  hurtMp3.replace(mp3Header(140.5), 4, 4, '\0');
  hurtMp3.replace(mp3Header(300.5) + 100, 4096, 4096, '\0');
  hurtMp3.replace(mp3Header(451.5), 200, 200, '\0');

  const std::vector<std::tuple<std::string, std::string, std::string, std::vector<double>>> files{
      {"damaged-10min.aac", aacPath, hurtAac, {100.93, 250.93, 380.93, 420.93, 590.93, 130.93}},
      {"damaged-10min.mp3", mp3Path, hurtMp3, {80.93, 170.93, 320.93, 470.93, 595.93, 160.93}}};
  for (const auto& [name, wholePath, bytes, spots] : files) {
    const QUrl file = writtenFile(name, QByteArray::fromStdString(bytes));
    const parlowvista::LoadedAudio whole =
        parlowvista::AudioProcessor().loadAndResample(QString::fromStdString(wholePath));
    const parlowvista::LoadedAudio sound = parlowvista::AudioProcessor().loadAndResample(file.toLocalFile());
    const QRegularExpressionMatch said =
        QRegularExpression("could not be decoded: (\\d+) damaged stretches \\((about )?(\\d+\\.\\d+) s in all\\)")
            .match(sound.damage);
    ASSERT_TRUE(said.hasMatch()) << name << ": " << sound.damage.toStdString();
    const int stretches = name.ends_with(".aac") ? 4 : 3;
    EXPECT_EQ(said.captured(1).toInt(), stretches) << sound.damage.toStdString();
    const double gone = whole.duration - sound.duration;
    EXPECT_GE(said.captured(3).toDouble(), 0.8 * gone) << name << ": " << sound.damage.toStdString();
    EXPECT_LE(said.captured(3).toDouble(), gone + 0.1 * stretches) << name << ": " << sound.damage.toStdString();
    ASSERT_EQ(load(player, file, 30000, sound.duration, sound.places), "") << name;
    expectEachPlayHeardWhereTheLoaderHasIt(sound.samples, spots, name, 0.12);
    EXPECT_EQ(player.problem().toStdString(), "") << name;

    // Its reads failing from four fifths of its bytes on, as the loader reads it first.
    const testsupport::ReadFailure failing(file.toLocalFile().toStdString(), std::int64_t(bytes.size()) * 4 / 5);
    const parlowvista::LoadedAudio partly = parlowvista::AudioProcessor().loadAndResample(file.toLocalFile());
    EXPECT_TRUE(partly.damage.contains(": the rest of the file is not in the transcript"))
        << partly.damage.toStdString();
    ASSERT_GT(partly.duration, 400.0) << name;
    ASSERT_LT(partly.duration, 500.0) << name;
    ASSERT_EQ(load(player, file, 30000, partly.duration, partly.places), "") << name;
    expectEachPlayHeardWhereTheLoaderHasIt(partly.samples, {spots[1], spots[2]}, name + " read partly", 0.12);
    player.seek(partly.duration - 0.5);
    player.play();
    EXPECT_TRUE(waitUntil([&] { return !player.isPlaying(); }, 30000)) << name;
    EXPECT_EQ(player.problem().toStdString(),
              "The rest of " + name + " cannot be read (Input/output error): playback stops here");
  }
}

// The sound in a recording at 16 kHz: how long it lasts from its first sound to its last, and
// whether it has gaps (5 ms or more of digital silence: a loaded machine's output drops out now
// and then, and what it drops out in may be lost).
struct Sounding {
  double seconds = 0;
  bool gaps = false;
};
Sounding soundingOf(const std::vector<float>& recorded) {
  const auto loud = [](float sample) { return std::abs(sample) > 0.02f; };
  const auto first = std::find_if(recorded.begin(), recorded.end(), loud);
  const auto last = std::find_if(recorded.rbegin(), recorded.rend(), loud).base();
  Sounding sounding{double(std::max<std::ptrdiff_t>(last - first, 0)) / kRate, false};
  std::size_t quiet = 0;
  for (auto sample = first; sample < last && !sounding.gaps; ++sample) {
    quiet = std::abs(*sample) < 0.002f ? quiet + 1 : 0;
    sounding.gaps = quiet >= kRate / 200;
  }
  return sounding;
}

// The last half second of a file is heard before the player stands at its end (a stream that
// said it was done with sound still buffered cut it off), all of it (the output was stopped once
// its sink had taken the last sound, with 15 to 55 ms of it still in the sound server, and
// playing from 10.4 s sounded 1.04 to 1.09 s); Play there starts from the beginning. Played again,
// up to three times, where the output dropped out.
TEST_F(AudioPlayerHeardChildProcess, TheLastHalfSecondIsHeardAndPlayAtTheEndStartsFromTheBeginning) {
  for (int round = 0; round < 2; ++round) {
    std::vector<float> recorded;
    Sounding sounding;
    for (int attempt = 0; attempt < 3 && (attempt == 0 || sounding.gaps); ++attempt) {
      ASSERT_TRUE(recording.waitForSilence());
      const qint64 mark = recording.size();
      player.seek(10.4);
      player.play();
      ASSERT_TRUE(waitUntil([&] { return !player.isPlaying(); }, 20000));
      EXPECT_EQ(player.currentTime(), player.duration());
      EXPECT_TRUE(recording.waitForSilence());
      recorded = recording.samples(mark);
      sounding = soundingOf(recorded);
    }
    const std::vector<Block> heard = testsupport::RegionTones::regionsHeard(recorded, recording.rate());
    EXPECT_EQ(sequence(heard), "10 11") << round;
    EXPECT_GE(secondsOf(heard, 11), 0.35) << round << ": " << secondsOf(heard, 11) << " s of the last half second";
    // From 10.4 s to the end at 11.5 s, but for the edges of the tone.
    if (!sounding.gaps) {
      EXPECT_GT(sounding.seconds, 1.085) << round;
    }

    const qint64 again = recording.size();
    player.play();
    EXPECT_TRUE(heardPast(player, 0, 0.4));
    player.pause();
    // From the beginning: a pause that comes late on a busy machine may let the next second in.
    const std::vector<Block> fromStart = heardSince(again);
    EXPECT_EQ(firstRegion(fromStart), 0) << round << ": " << sequence(fromStart);
  }
}

}  // namespace
