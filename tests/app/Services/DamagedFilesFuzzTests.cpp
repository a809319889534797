// Damaged variants of short files in every format the application takes, through the loader and
// the player's decoder: a seeded set of what tools/audio-fuzz runs by the hundred.

#include "support/Spawn.h"
#include "support/TempDir.h"

#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

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
// and bytes.
TEST(DamagedFilesFuzzTest, DamagedFilesAreTakenAlikeByTheLoaderAndThePlayerForNoMoreThanTheyHold) {
  testsupport::TempDir dir;
  const std::vector<std::pair<QStringList, int>> runs{
      {{"--variants", "60", "--seed", "1"}, 480},
      {{"--variants", "48", "--seed", "7", "--formats", "caf,caf-alac"}, 96},
      {{"--variants", "16", "--seed", "5", "--formats", "flac"}, 16}};
  for (const auto& [arguments, variants] : runs) {
    const QString log = QString::fromStdString((dir / "fuzz.log").string());
    testsupport::Spawned fuzz(
        QStringLiteral(PV_AUDIO_FUZZ),
        arguments + QStringList{"--time-limit", "60", "--keep", QString::fromStdString((dir / "kept").string())}, log);
    const auto exit = fuzz.waitForExit(600000);
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
