#include "Services/AudioProcessor.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "engine/Shared/AudioTestFiles.h"
#include "support/FixturePaths.h"
#include "support/ReadFailure.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace pipelinetest;

namespace {

class AudioProcessorTest : public testsupport::TempDirTest {
 protected:
  QString file(const std::string& name) const { return QString::fromStdString((tempDir / name).string()); }
  std::string errorOf(const QString& path) const {
    try {
      AudioProcessor().loadAndResample(path);
    } catch (const std::exception& error) {
      return error.what();
    }
    return "no error";
  }
};

TEST_F(AudioProcessorTest, RefusesMissingUnsupportedAndEmptyFilesInThatOrder) {
  EXPECT_EQ(errorOf(file("talk.ogg")), "Audio file not found: talk.ogg");
  testsupport::writeFile(tempDir / "talk.ogg", "OggS");
  EXPECT_EQ(errorOf(file("talk.ogg")), "Unsupported audio format: ogg");
  writeFloatWav(tempDir / "empty.wav", {});
  EXPECT_EQ(errorOf(file("empty.wav")), "Invalid audio data");
  testsupport::writeFile(tempDir / "broken.mp3", "not audio at all");
  EXPECT_NE(errorOf(file("broken.mp3")), "no error");
  // An AIFF file is taken as ".aiff"; the same file named ".aif" is refused by its name.
  writeFloatWav(tempDir / "talk.wav", std::vector<float>(16000, 0.1f));
  ASSERT_TRUE(ffmpeg({"-i", file("talk.wav"), "-c:a", "pcm_s16be", file("talk.aiff")}));
  EXPECT_EQ(errorOf(file("talk.aiff")), "no error");
  ASSERT_TRUE(QFile::copy(file("talk.aiff"), file("talk.aif")));
  EXPECT_EQ(errorOf(file("talk.aif")), "Unsupported audio format: aif");
  EXPECT_FALSE(AudioProcessor::supportedExtensions().contains("aif"));
}

TEST_F(AudioProcessorTest, A16kMonoFileComesBackUnchanged) {
  std::vector<float> samples(20000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i % 100) / 200.0f;
  writeFloatWav(tempDir / "Talk.WAV", samples);
  const LoadedAudio audio = AudioProcessor().loadAndResample(file("Talk.WAV"));
  EXPECT_EQ(audio.samples, samples);
  EXPECT_DOUBLE_EQ(audio.duration, 20000.0 / 16000.0);
}

TEST_F(AudioProcessorTest, ResamplingKeepsTheEndOfTheAudio) {
  // 10 s of 44.1 kHz stereo whose last half second is loud: the resampler's tail must arrive.
  const int rate = 44100;
  std::vector<float> interleaved(static_cast<std::size_t>(rate) * 10 * 2, 0.0f);
  for (std::size_t frame = static_cast<std::size_t>(rate * 9.5); frame < std::size_t(rate) * 10; ++frame) {
    interleaved[frame * 2] = interleaved[frame * 2 + 1] = 0.5f;
  }
  writeFloatWav(tempDir / "stereo.wav", interleaved, rate, 2);
  const LoadedAudio audio = AudioProcessor().loadAndResample(file("stereo.wav"));
  EXPECT_DOUBLE_EQ(audio.duration, 10.0);
  ASSERT_NEAR(static_cast<double>(audio.samples.size()), 160000.0, 2.0);
  EXPECT_NEAR(audio.samples[audio.samples.size() - 10], 0.5f, 0.01f);
}

// Recordings joined end to end change their layout or rate midway: the converter made for the
// first part was handed the second part's planes and read past them (a crash as the file was
// read for transcription). Each part is converted in its own format, as the ffmpeg tool does.
TEST(AudioProcessorJoinedTest, FilesWhoseFormatChangesMidwayLoadAsTheToolDecodesThem) {
  for (const auto& joined : voxtrellis::test::joinedFiles()) {
    const auto path = testsupport::fixturesDir() / "joined" / joined.name;
    const LoadedAudio audio = AudioProcessor().loadAndResample(QString::fromStdString(path.string()));
    const auto reference = voxtrellis::test::readFloats(path.string() + ".f32");
    EXPECT_EQ(voxtrellis::test::differenceFromReference(audio.samples, reference, joined), "") << joined.name;
    EXPECT_DOUBLE_EQ(audio.duration, double(audio.samples.size()) / 16000.0);
  }
}

// Damage in the middle of a file is skipped and the rest kept (see the engine's DamagedFileTest):
// the user learns it from the activity log, which names the file, where and how much could not
// be decoded, and from where nothing could be read where its reading fails after the damage. A
// whole file says nothing.
TEST(AudioProcessorDamagedTest, SkippedDamageIsToldWithWhereAndHowMuch) {
  const auto folder = testsupport::fixturesDir() / "damaged";
  const QString flac = QString::fromStdString((folder / "damaged.flac").string());
  const LoadedAudio damaged = AudioProcessor().loadAndResample(flac);
  EXPECT_NEAR(damaged.duration, 12.0, 0.001);
  EXPECT_TRUE(QRegularExpression("^Part of damaged\\.flac could not be decoded: 0\\.[1-9] s at 00:0[3-6]\\.\\d{3} was "
                                 "skipped, the rest of the file was kept$")
                  .match(damaged.damage)
                  .hasMatch())
      << damaged.damage.toStdString();
  {
    const testsupport::ReadFailure failing(folder / "damaged.flac",
                                           std::filesystem::file_size(folder / "damaged.flac") * 9 / 10);
    const LoadedAudio cut = AudioProcessor().loadAndResample(flac);
    EXPECT_LT(cut.duration, 11.5);
    const QRegularExpressionMatch said =
        QRegularExpression(
            "^Part of damaged\\.flac could not be decoded: 0\\.[1-9] s at 00:0[3-6]\\.\\d{3} was skipped; "
            "nothing of it could be read from 00:(\\d\\d\\.\\d{3}) on \\(Input/output error\\): the rest of "
            "the file is not in the transcript$")
            .match(cut.damage);
    EXPECT_TRUE(said.hasMatch()) << cut.damage.toStdString();
    EXPECT_NEAR(said.captured(1).toDouble(), cut.duration, 0.05);
  }
  // A file whose second half is overwritten was given as half a file with nothing said; one cut
  // there holds no more than its first half, and says nothing.
  testsupport::TempDir dir;
  for (const std::string format : {"mp3", "aac", "flac"}) {
    const auto whole = dir / ("whole." + format);
    ASSERT_TRUE(voxtrellis::test::ffmpegMake(whole, "-f lavfi -i '" + voxtrellis::test::noiseSource(20) + "' -ac 1"));
    std::string bytes = testsupport::readFile(whole);
    testsupport::writeFile(dir / ("cut." + format), bytes.substr(0, bytes.size() * 6 / 10));
    bytes.replace(bytes.size() * 6 / 10, std::string::npos, bytes.size() - bytes.size() * 6 / 10, '\0');
    testsupport::writeFile(dir / ("overwritten." + format), bytes);
    const auto load = [&](const std::string& name) {
      return AudioProcessor().loadAndResample(QString::fromStdString((dir / (name + "." + format)).string()));
    };
    const LoadedAudio cut = load("cut");
    EXPECT_EQ(cut.damage, "") << format;
    const LoadedAudio overwritten = load("overwritten");
    EXPECT_NEAR(overwritten.duration, cut.duration, 0.2) << format;
    const QRegularExpressionMatch said =
        QRegularExpression(QStringLiteral("^Nothing of overwritten\\.%1 could be read from 00:(\\d\\d\\.\\d{3}) on "
                                          "\\(Invalid data found when processing input\\): the rest of the file is "
                                          "not in the transcript$")
                               .arg(QString::fromStdString(format)))
            .match(overwritten.damage);
    EXPECT_TRUE(said.hasMatch()) << overwritten.damage.toStdString();
    EXPECT_NEAR(said.captured(1).toDouble(), overwritten.duration, 0.2) << format;
  }
  // An M4A whose index lies after its sound, the last 1500 bytes of the sound zeroed: the index
  // is no sound that could not be read ("Nothing of ... could be read from ... on" was said), and
  // what was lost is said as for other damage.
  ASSERT_TRUE(voxtrellis::test::ffmpegMake(
      dir / "tail.m4a", "-f lavfi -i '" + voxtrellis::test::noiseSource(300) + "' -ac 1 -c:a aac -b:a 64k"));
  std::string tail = testsupport::readFile(dir / "tail.m4a");
  const std::size_t index = tail.rfind("moov") - 4;
  tail.replace(index - 1500, 1500, 1500, '\0');
  testsupport::writeFile(dir / "tail-dmg.m4a", tail);
  const LoadedAudio tailed = AudioProcessor().loadAndResample(QString::fromStdString((dir / "tail-dmg.m4a").string()));
  EXPECT_GT(tailed.duration, 299.5);
  EXPECT_TRUE(
      QRegularExpression("^Part of tail-dmg\\.m4a could not be decoded: 0\\.\\d+ s at 04:59\\.\\d{3} was skipped, "
                         "the rest of the file was kept$")
          .match(tailed.damage)
          .hasMatch())
      << tailed.damage.toStdString();
  const LoadedAudio m4a = AudioProcessor().loadAndResample(QString::fromStdString((folder / "damaged.m4a").string()));
  EXPECT_TRUE(m4a.damage.startsWith("Part of damaged.m4a could not be decoded: 0.1 s at 00:04."))
      << m4a.damage.toStdString();
  EXPECT_EQ(AudioProcessor().loadAndResample(QString::fromStdString((folder / "whole.flac").string())).damage, "");
}

// A file whose reads fail before any of its sound (a failing disk, an SD card, a network share
// gone away) was refused as "Not an audio file, or damaged": a FLAC failing within its header (its
// first 9 kB, and 4 kB), and an M4A whose index lies after the sound, failing from its middle. A
// failing disk is no bad file: the read error is said, as the player says it.
TEST(AudioProcessorDamagedTest, AFileWhoseReadsFailBeforeItsSoundSaysTheReadError) {
  testsupport::TempDir dir;
  ASSERT_TRUE(
      voxtrellis::test::ffmpegMake(dir / "talk.flac", "-f lavfi -i '" + voxtrellis::test::noiseSource(20) + "' -ac 1"));
  ASSERT_TRUE(voxtrellis::test::ffmpegMake(dir / "talk.m4a",
                                           "-f lavfi -i '" + voxtrellis::test::noiseSource(20) + "' -ac 1 -c:a aac"));
  for (const auto& [name, from] : std::vector<std::pair<std::string, std::int64_t>>{
           {"talk.flac", 9000},
           {"talk.flac", 4000},
           {"talk.m4a", std::int64_t(std::filesystem::file_size(dir / "talk.m4a") / 2)}}) {
    SCOPED_TRACE(name + " from " + std::to_string(from));
    const QString path = QString::fromStdString((dir / name).string());
    const testsupport::ReadFailure failing(dir / name, from);
    try {
      AudioProcessor().loadAndResample(path);
      ADD_FAILURE() << "loaded";
    } catch (const AudioError& error) {
      EXPECT_EQ(error.kind(), AudioError::Kind::unreadable);
      EXPECT_EQ(std::string(error.what()), name + " cannot be read (Input/output error)");
    }
    EXPECT_GT(testsupport::ReadFailure::failures(), 0);
  }
}

// A file whose packets all fail to decode, each after its decoder made a frame for it (an ALAC CAF
// of 20 000 packets of 4 bytes, its frames stated 262 144 samples long), was decoded to its end,
// 0.5 ms a packet: a few hundred kilobytes of them took minutes. A run of failed decodes longer
// than the file's bytes could make packets of a real stream ends it: it is refused once a few
// thousand failed, having read no more than a tenth of it.
TEST(AudioProcessorDamagedTest, AFileWhosePacketsAllFailIsGivenUpInProportionToItsSize) {
  testsupport::TempDir dir;
  ASSERT_TRUE(voxtrellis::test::ffmpegMake(dir / "alac.caf",
                                           "-f lavfi -i '" + voxtrellis::test::noiseSource(3) + "' -ac 2 -c:a alac"));
  testsupport::writeFile(dir / "tiny.caf",
                         voxtrellis::test::alacOfTinyPackets(testsupport::readFile(dir / "alac.caf"), 1 << 18, 20000));
  double read = 0;
  EXPECT_THROW(AudioProcessor().loadAndResample(QString::fromStdString((dir / "tiny.caf").string()),
                                                [&](double share) { read = std::max(read, share); }),
               AudioError);
  EXPECT_LT(read, 0.2);
}

// What the activity log says of a damaged file: how much was skipped ("about" for an estimate)
// and where the first damage was, in seconds.
struct DamageSaid {
  double seconds = -1;
  double at = -1;
  bool estimated = false;
};
DamageSaid damageSaid(const QString& damage) {
  static const QRegularExpression said(
      "could not be decoded: (?:\\d+ damaged stretches \\()?(about )?(\\d+\\.\\d+) s.* at (\\d\\d):(\\d\\d\\.\\d{3})");
  const QRegularExpressionMatch match = said.match(damage);
  if (!match.hasMatch()) return {};
  return {match.captured(2).toDouble(), match.captured(3).toInt() * 60 + match.captured(4).toDouble(),
          !match.captured(1).isEmpty()};
}

// Where the sound comes back after `at` seconds in 16 kHz `samples`: the first 10 ms that are
// not silent.
double soundAgainAfter(const std::vector<float>& samples, double at) {
  for (auto from = std::size_t(at * 16000); from + 160 <= samples.size(); from += 160) {
    if (voxtrellis::test::rms(samples, from, from + 160) > 0.01f) return double(from) / 16000;
  }
  return double(samples.size()) / 16000;
}

// The activity log counted only the packets the decoder refused: in raw MP3 and ADTS AAC the bytes
// that were no packet went uncounted ("0.03 s" where 0.2 s was lost, "0.1 s" where 2.4 s were), a
// FLAC damaged in its first frames said "0.1 s" of 0.2 s and moved all its sound by a frame, and
// an M4A whose damage left FFmpeg's AAC decoder silent said "1.0 s" of a file silent from there to
// its end. What it says is within a fifth of what the sound after the damage shows was lost (the
// whole file's sound found in the damaged one's), "about" where bytes were estimated; the FLAC's
// sound keeps its time, and the M4A's goes on after the damage.
TEST(AudioProcessorDamagedTest, TheLogSaysWhatTheDamageCost) {
  const auto load = [](const std::string& folder, const std::string& name) {
    return AudioProcessor().loadAndResample(
        QString::fromStdString((testsupport::fixturesDir() / folder / name).string()));
  };
  // Raw files of noise: their sound near the end is found in the whole file later by `shift`,
  // and so is theirs after the damage from where it is heard again; what lies between in the
  // whole file was lost.
  for (const auto& [whole, damaged] :
       std::vector<std::pair<std::string, std::string>>{{"noise-vbr.mp3", "damaged-vbr.mp3"},
                                                        {"noise-vbr.mp3", "fifth-vbr.mp3"},
                                                        {"noise.aac", "damaged.aac"},
                                                        {"noise.aac", "fifth.aac"}}) {
    const LoadedAudio sound = load("seeks", whole), hurt = load("seeks", damaged);
    const DamageSaid said = damageSaid(hurt.damage);
    ASSERT_GT(said.seconds, 0) << hurt.damage.toStdString();
    EXPECT_TRUE(said.estimated) << hurt.damage.toStdString();
    const auto late = std::size_t((hurt.duration - 2) * 16000);
    const auto end =
        voxtrellis::test::bestMatch(sound.samples, hurt.samples.data() + late, 3200, late, late + 5 * 16000);
    ASSERT_GT(end.likeness, 0.95) << damaged;
    const std::size_t shift = end.at - late;
    auto again = std::size_t(said.at * 16000);
    while (again < late && voxtrellis::test::bestMatch(sound.samples, hurt.samples.data() + again, 320, again + shift,
                                                       again + shift + 1)
                                   .likeness < 0.95) {
      again += 160;
    }
    const double lost = double(again + shift) / 16000 - said.at;
    EXPECT_NEAR(said.seconds, lost, std::max(0.2 * lost, 0.05)) << damaged << ": " << hurt.damage.toStdString();
  }
  // Files that keep their time: silence stands for what was lost, and the tones after it are
  // where the whole file has them.
  const LoadedAudio flac = load("damaged", "damaged-start.flac"), wholeFlac = load("damaged", "whole.flac");
  const DamageSaid flacSaid = damageSaid(flac.damage);
  EXPECT_NEAR(flacSaid.seconds, soundAgainAfter(flac.samples, flacSaid.at) - flacSaid.at, 0.03)
      << flac.damage.toStdString();
  EXPECT_FALSE(flacSaid.estimated);
  ASSERT_EQ(flac.samples.size(), wholeFlac.samples.size());
  EXPECT_LT(voxtrellis::test::rms(
                [&] {
                  std::vector<float> difference(flac.samples.size());
                  for (std::size_t i = 0; i < difference.size(); ++i)
                    difference[i] = flac.samples[i] - wholeFlac.samples[i];
                  return difference;
                }(),
                16000, flac.samples.size()),
            1e-3f);
  const LoadedAudio m4a = load("damaged", "silenced.m4a");
  const DamageSaid m4aSaid = damageSaid(m4a.damage);
  const double again = soundAgainAfter(m4a.samples, m4aSaid.at);
  EXPECT_NEAR(m4aSaid.seconds, again - m4aSaid.at, 0.2 * (again - m4aSaid.at)) << m4a.damage.toStdString();
  EXPECT_LT(again, 6.0) << m4a.damage.toStdString();
  EXPECT_GT(voxtrellis::test::rms(m4a.samples, std::size_t(again * 16000), m4a.samples.size()), 0.1f);
}

// The log's figure was tested with one damaged stretch only: a one-line fault made 39 zeroed
// stretches "about 202.5 s" or "about 1702 s" where 11 s were lost. And 4 kB zeroed from a frame's
// header, which FFmpeg's ADTS reader steps over without a decoder error, cost a quarter of a second
// without a word, where the same 4 kB from 100 bytes later were told. In a file with 39 stretches
// zeroed, every other one from a frame's header, each is told, and what they cost together within a
// fifth of what the loader lost.
TEST(AudioProcessorDamagedTest, SeveralDamagedStretchesAreEachToldAndWhatTheyCostTogether) {
  testsupport::TempDir dir;
  ASSERT_TRUE(voxtrellis::test::ffmpegMake(
      dir / "whole.aac", "-f lavfi -i '" + voxtrellis::test::noiseSource(240) + "' -ac 1 -c:a aac -b:a 96k"));
  const std::string whole = testsupport::readFile(dir / "whole.aac");
  const std::vector<std::size_t> frames = voxtrellis::test::adtsFrames(whole);
  std::string damaged = whole;
  for (std::size_t stretch = 0; stretch < 39; ++stretch) {
    const std::size_t header = frames.at(std::size_t((5.0 + 6.0 * double(stretch)) * 44100 / 1024));
    damaged.replace(header + (stretch % 2 ? 100 : 0), 4096, 4096, '\0');
  }
  testsupport::writeFile(dir / "damaged.aac", damaged);
  const LoadedAudio sound = AudioProcessor().loadAndResample(QString::fromStdString((dir / "whole.aac").string()));
  const LoadedAudio hurt = AudioProcessor().loadAndResample(QString::fromStdString((dir / "damaged.aac").string()));
  const QRegularExpressionMatch said =
      QRegularExpression("(\\d+) damaged stretches \\((about )?(\\d+\\.\\d+) s in all\\)").match(hurt.damage);
  ASSERT_TRUE(said.hasMatch()) << hurt.damage.toStdString();
  EXPECT_EQ(said.captured(1).toInt(), 39) << hurt.damage.toStdString();
  const double lost = voxtrellis::test::lostSeconds(sound.samples, hurt.samples, 16000);
  EXPECT_GT(lost, 5.0);
  EXPECT_NEAR(said.captured(3).toDouble(), lost, 0.2 * lost) << hurt.damage.toStdString();
}

}  // namespace
