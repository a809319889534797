// Damaged variants of short files in every format the application takes, through the loader and
// the player's decoder: a seeded set of what tools/audio-fuzz runs by the hundred.

#include "engine/Shared/AudioTestFiles.h"
#include "support/Spawn.h"
#include "support/TempDir.h"
#include "support/TimeLeft.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// What audio-fuzz --examine says of one file: the loader's and the player's lengths (-1 where
// they refused it), and the most memory the process that looked at it held.
struct Examined {
  double loaded = -1, played = -1;
  int megabytes = -1;
  QString said;
};
// The examining child is given two minutes, or what is left of the test's time less a few seconds
// for it to say so.
Examined examine(const testsupport::TempDir& dir, const std::filesystem::path& file,
                 const testsupport::TimeLeft& timeLeft) {
  const QString log = QString::fromStdString((dir / "examine.log").string());
  const int limit = std::clamp(timeLeft.milliseconds() / 1000 - 10, 1, 120);
  testsupport::Spawned fuzz(
      QStringLiteral(PV_AUDIO_FUZZ),
      {"--examine", QString::fromStdString(file.string()), "--time-limit", QString::number(limit)}, log);
  fuzz.waitForExit(timeLeft.milliseconds());
  Examined examined;
  if (fuzz.isRunning()) {
    examined.said = QStringLiteral("still examining when the test's time ran out");
    return examined;
  }
  QFile output(log);
  if (!output.open(QIODevice::ReadOnly)) return examined;
  examined.said = QString::fromUtf8(output.readAll()).trimmed();
  const auto number = [&](const QString& pattern) {
    const QRegularExpressionMatch match = QRegularExpression(pattern).match(examined.said);
    return match.hasMatch() ? match.captured(1).toDouble() : -1.0;
  };
  examined.loaded = number(QStringLiteral("^loaded ([\\d.]+) s"));
  examined.played = number(QStringLiteral("played ([\\d.]+) s"));
  examined.megabytes = int(number(QStringLiteral("(\\d+) MB of memory$")));
  return examined;
}

}  // namespace

// Damaged files of a few hundred kilobytes that fresh seeds of the fuzz found: a WAV whose tag
// chunk states 1.3 GB took 1.2 GB of memory in the loader and the player each before they refused
// it (and so did six minutes of such a WAV, 63 MB, when what FFmpeg may allocate followed the size
// of any file, not only of an M4A's or a CAF's); an ALAC CAF whose header states 16.6 million
// samples a frame zeroed a 133-MB frame for every packet (156 MB, 10 s and more on a busy machine,
// seeks alike); an ALAC CAF whose description states 118 Hz (its decoder's rate is 44.1 kHz), its
// first packet damaged, was 37.6 s long, the container's 34.7 s for the lost packet laid down as
// silence; one whose description states a billion frames per packet, its first packet damaged, was
// 6.7 hours of silence (2 GB); a FLAC whose stream information states 4 Hz was refused by the
// loader and played by the player; an ALAC CAF of 20 000 packets of 4 bytes, each of which fails to
// decode after its decoder made a frame for it; a FLAC with a copy of its end in front of its first
// frame (written past the end of the header's padding), whose last frame the loader laid at its own
// number, 2.9 s, after as much silence, where the player played from the start without it (5.15 s
// against 3.07 s); a FLAC whose first 1.1 s are overwritten, whose sound the player laid from the
// start where the loader laid it at its own time (1.85 s against 3.0 s, and a seek read again from
// the start heard elsewhere). Each takes a bounded amount of memory, and the loader and the player
// take it alike for no more than it holds, seeks heard where the loader has their time.
TEST(DamagedFilesFuzzTest, HostileHeadersCostLittleAndAreTakenAlike) {
  const testsupport::TimeLeft timeLeft(PV_TEST_TIMEOUT_SECONDS, 30);
  testsupport::TempDir dir;
  using namespace voxtrellis::test;
  testsupport::writeFile(dir / "huge-tag.wav", wavWithAHugeTag());
  testsupport::writeFile(dir / "long-huge-tag.wav", wavWithAHugeTag(360));
  ASSERT_TRUE(ffmpegMake(dir / "alac.caf", "-f lavfi -i '" + noiseSource(3) + "' -ac 2 -c:a alac"));
  const std::string alac = testsupport::readFile(dir / "alac.caf");
  testsupport::writeFile(dir / "huge-frames.caf", alacStatingFrameLength(alac, 0xFE1000));
  ASSERT_GT(testsupport::readFile(dir / "huge-frames.caf").size(), 0u);
  // Its description's rate, and its first packet damaged.
  std::string slowStamps = cafStating(alac, 118, std::nullopt);
  slowStamps.replace(alac.find("data") + 16, 64, 64, '\xff');
  testsupport::writeFile(dir / "slow-stamps.caf", slowStamps);
  // Its description stating 1 073 745 920 frames per packet, and its first packet damaged.
  std::string hugePackets = cafStating(alac, std::nullopt, 0x40001000);
  hugePackets.replace(alac.find("data") + 16, 64, 64, '\xff');
  testsupport::writeFile(dir / "huge-packets.caf", hugePackets);
  testsupport::writeFile(dir / "tiny-packets.caf", alacOfTinyPackets(alac, 1 << 18, 20000));
  ASSERT_TRUE(ffmpegMake(dir / "whole.flac", "-f lavfi -i '" + noiseSource(3) + "' -ac 2"));
  const std::string flac = testsupport::readFile(dir / "whole.flac");
  testsupport::writeFile(dir / "four-hertz.flac", flacStatingRate(flac, 4));
  testsupport::writeFile(dir / "stray-end.flac", flacWithItsEndBeforeItsFrames(flac, 8000));
  std::string overwritten = flac;
  const std::size_t first = flacFirstFrame(flac);
  overwritten.replace(first, flac.size() * 37 / 100 - first, flac.size() * 37 / 100 - first, '\0');
  testsupport::writeFile(dir / "overwritten-start.flac", overwritten);

  for (const char* name :
       {"huge-tag.wav", "long-huge-tag.wav", "huge-frames.caf", "slow-stamps.caf", "huge-packets.caf",
        "four-hertz.flac", "tiny-packets.caf", "stray-end.flac", "overwritten-start.flac"}) {
    SCOPED_TRACE(name);
    const Examined examined = examine(dir, dir / name, timeLeft);
    ASSERT_GT(examined.megabytes, 0) << examined.said.toStdString();
    EXPECT_LT(examined.megabytes, 100) << examined.said.toStdString();
    EXPECT_NEAR(examined.loaded, examined.played, 0.01) << examined.said.toStdString();
    EXPECT_LT(examined.loaded, 3.5) << examined.said.toStdString();
    EXPECT_FALSE(examined.said.contains(QStringLiteral("seeks not heard"))) << examined.said.toStdString();
  }
  EXPECT_GT(examine(dir, dir / "slow-stamps.caf", timeLeft).loaded, 2.5);
  EXPECT_EQ(examine(dir, dir / "four-hertz.flac", timeLeft).loaded, -1);
}

namespace {

// The fuzz found a WAV and a CAF whose damaged block size the loader refused and the player
// played, a CAF whose damaged frames per packet hung both in 6 GB of memory, an ALAC CAF that
// loaded as 100 minutes of sound, and CAFs the player could not open where the loader could (a
// chunk's size past any file's end, where FFmpeg's own reading of a file refuses to go and the
// player's went). Sixty variants a format (random bytes, bit flips, cuts, stretches written twice
// or left out, header bytes), each in a child process of its own with a time limit: none crashes
// or hangs, none is longer by more than a second than the undamaged file at the rate its header
// states, the loader and the player take the same ones, and where the loader has sound at a
// seek's target the player's first sound after it is that sound (it was only checked that
// decoding went on). Then variants of other seeds whose seeks went where their container's stamps
// or a FLAC frame's own number put the time, not where the loader had it: CAF and ALAC CAF
// headers with a damaged rate or frames per packet, FLAC files with damaged stream descriptions
// and bytes; a FLAC whose start is random bytes, past which FFmpeg's parser stated a packet's
// position where it does not lie (the loader kept it among its places, and the player, not finding
// it there, took none); and one damaged in its first 1.5 s, where the loader kept no place, a seek
// there going to the first place after it.
// One of the long tests (tests/CMakeLists.txt): 870 variants, each in a process of its own.
TEST(DamagedFilesFuzzTest, DamagedFilesAreTakenAlikeByTheLoaderAndThePlayerForNoMoreThanTheyHold) {
  const testsupport::TimeLeft timeLeft(PV_LONG_TEST_TIMEOUT_SECONDS, 60);
  testsupport::TempDir dir;
  const std::vector<std::pair<QStringList, int>> runs{
      {{"--variants", "60", "--seed", "1"}, 480},
      {{"--variants", "48", "--seed", "7", "--formats", "caf,caf-alac"}, 96},
      {{"--variants", "16", "--seed", "5", "--formats", "flac"}, 16},
      {{"--variants", "19", "--seed", "136", "--formats", "flac"}, 19},
      {{"--variants", "259", "--seed", "139", "--formats", "flac"}, 259}};
  for (const auto& [arguments, variants] : runs) {
    const QString log = QString::fromStdString((dir / "fuzz.log").string());
    testsupport::Spawned fuzz(
        QStringLiteral(PV_AUDIO_FUZZ),
        arguments + QStringList{"--time-limit", "60", "--keep", QString::fromStdString((dir / "kept").string())}, log);
    const auto exit = fuzz.waitForExit(timeLeft.milliseconds());
    ASSERT_FALSE(fuzz.isRunning()) << arguments.join(' ').toStdString()
                                   << ": still running when the test's time ran out";
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString output = QString::fromUtf8(file.readAll());
    EXPECT_EQ(exit, 0) << arguments.join(' ').toStdString() << "\n" << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("all: %1 variants, 0 crashes, 0 hangs, 0 overruns, 0 disagreements, 0 "
                                               "misplaced seeks, 0 over the memory bound")
                                    .arg(variants)))
        << output.toStdString();
  }
}

}  // namespace
