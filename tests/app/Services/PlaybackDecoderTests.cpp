// The player's decoder as the player uses it, held to the loader's sound at the same time (the
// transcript's timeline) in raw MP3 and ADTS AAC files: large ones, whose index is read in two
// halves at once, with a pause of digital silence where their bytes are halved; damaged ones,
// which the index reads past; and files cut or damaged where FFmpeg's decoding takes it badly.

#include "Services/AudioProcessor.h"
#include "Services/PlaybackDecoder.h"

#include "engine/Shared/AudioTestFiles.h"
#include "support/FixturePaths.h"
#include "support/TempDir.h"

#include <voxtrellis/WorkStopped.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <QAudioFormat>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <stop_token>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using parlowvista::PlaybackDecoder;
using voxtrellis::test::cafStating;
using voxtrellis::test::ffmpegMake;
using voxtrellis::test::noiseSource;

constexpr std::size_t kRate = 16000;

// The loader's own format, so that what the decoder gives is found in the loader's samples to
// the sample.
QAudioFormat loaderFormat() {
  QAudioFormat format;
  format.setSampleRate(int(kRate));
  format.setChannelCount(1);
  format.setSampleFormat(QAudioFormat::Float);
  return format;
}

QString pathOf(const fs::path& file) {
  return QString::fromStdString(file.string());
}

std::vector<float> loaded(const fs::path& file) {
  return parlowvista::AudioProcessor().loadAndResample(pathOf(file)).samples;
}

std::vector<float> floatsOf(const QByteArray& bytes) {
  std::vector<float> samples(std::size_t(bytes.size()) / sizeof(float));
  std::memcpy(samples.data(), bytes.constData(), samples.size() * sizeof(float));
  return samples;
}

// What the decoder gives from a seek to `seconds`: a fifth of a second.
std::vector<float> heardFrom(PlaybackDecoder& decoder, double seconds) {
  decoder.seek(seconds);
  QByteArray sound;
  decoder.decode(sound, decoder.format().bytesForDuration(200000));
  return floatsOf(sound);
}

// Everything the decoder gives from where it stands, up to `most` seconds.
std::vector<float> decodedToTheEnd(PlaybackDecoder& decoder, double most = 600) {
  QByteArray sound;
  while (sound.size() < decoder.format().bytesForDuration(qint64(most * 1e6)) && decoder.decode(sound, 1 << 20)) {
  }
  return floatsOf(sound);
}

// How far (seconds) the first tenth of a second of `heard` lies from the loader's sound at
// `target`: where it is found best within a second of it; nothing when it is found nowhere.
std::optional<double> offsetFrom(const std::vector<float>& loader, const std::vector<float>& heard, double target) {
  if (heard.size() < kRate / 10) return std::nullopt;
  const auto from = std::size_t(std::max(0.0, target - 1.0) * kRate);
  const auto match =
      voxtrellis::test::bestMatch(loader, heard.data(), kRate / 10, from, std::size_t((target + 1) * kRate));
  if (match.likeness < 0.9) return std::nullopt;
  return double(match.at) / kRate - target;
}

// Seeks to each of `spots` in `file`, by the loader's places of its sound (`loader`'s, as the
// application gives them) or, without them, by the player's own index: each is heard from the
// loader's sound at its time, to 3 ms.
void expectHeardWhereTheLoaderHasThem(const fs::path& file, const parlowvista::LoadedAudio& loader, bool byPlaces,
                                      const std::vector<double>& spots) {
  PlaybackDecoder decoder(pathOf(file), loaderFormat(), byPlaces ? loader.places : nullptr);
  EXPECT_EQ(decoder.seeksByLoadersPlaces(), byPlaces);
  for (const double spot : spots) {
    const auto offset = offsetFrom(loader.samples, heardFrom(decoder, spot), spot);
    const std::string what = file.filename().string() + (byPlaces ? " by the loader's places" : " by the index") +
                             ", from " + std::to_string(spot) + " s";
    ASSERT_TRUE(offset) << what << ": not the loader's sound near it";
    EXPECT_NEAR(*offset, 0.0, 0.003) << what;
  }
}

// Bytes this thread has read from files since it began: the decoder reads its file on the thread
// that calls it, the index on a thread of its own.
long long bytesReadHere() {
  std::ifstream io("/proc/thread-self/io");
  std::string key;
  long long value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return -1;
}

// A copy of `from` with the frame-length field of the ADTS frame at `seconds` set to 0 (a frame
// the reader cannot step over by its header) and `bytes` zeroed from inside the frame at
// `atSeconds` on, as a copy that went wrong leaves them.
std::string adtsWithUnreadableHeader(const std::string& from, double seconds, double atSeconds, std::size_t bytes) {
  const std::vector<std::size_t> frames = voxtrellis::test::adtsFrames(from);
  std::string data = voxtrellis::test::withAdtsFrameLength(from, frames.at(std::size_t(seconds * 44100 / 1024)), 0);
  const std::size_t at = frames.at(std::size_t(atSeconds * 44100 / 1024)) + 100;
  data.replace(at, bytes, bytes, '\0');
  return data;
}

// The header of the ADTS frame at `seconds` (44.1 kHz) of `bytes`.
std::size_t adtsHeaderAt(const std::string& bytes, double seconds) {
  return voxtrellis::test::adtsFrames(bytes).at(std::size_t(seconds * 44100 / 1024));
}

// The seconds the activity log's line says were skipped ("about 0.3 s", "(about 1.2 s in all)").
double secondsSaid(const QString& damage) {
  static const QRegularExpression said("\\(?(?:about )?(\\d+\\.\\d+) s");
  const QRegularExpressionMatch match = said.match(damage);
  return match.hasMatch() ? match.captured(1).toDouble() : -1;
}

// Raw MP3 and ADTS files over 4 MB, indexed in two halves: MP3s encoded whole, with digital
// silence where their bytes are halved (constant bit rate: bytes and time go together), and ADTS
// files joined from parts so that their bytes are halved inside the silence, which is of two
// lengths; and one of noise throughout, damaged.
class LargeRawFileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new testsupport::TempDir("large-raw");
    const auto paused = [](const std::string& noise, int from, int to) {
      return "-f lavfi -i \"" + noise + ",volume='if(between(t," + std::to_string(from) + "," + std::to_string(to) +
             "),0,1)':eval=frame\"";
    };
    ASSERT_TRUE(ffmpegMake(*s_dir / "pause-44k.mp3", paused(noiseSource(240), 100, 140) + " -ac 2 -b:a 160k"));
    ASSERT_TRUE(ffmpegMake(*s_dir / "pause-8k.mp3", paused(noiseSource(540, 8000), 250, 290) + " -ac 1 -b:a 64k"));
    ASSERT_TRUE(ffmpegMake(*s_dir / "noise.aac", "-f lavfi -i '" + noiseSource(80) + "' -ac 2 -c:a aac -b:a 256k"));
    const std::string noise = testsupport::readFile(*s_dir / "noise.aac");
    for (const int seconds : {23, 40}) {
      const std::string name = "silence-" + std::to_string(seconds) + ".aac";
      ASSERT_TRUE(ffmpegMake(*s_dir / name, "-f lavfi -i anullsrc=r=44100:cl=stereo:d=" + std::to_string(seconds) +
                                                " -c:a aac -b:a 256k"));
      testsupport::writeFile(*s_dir / ("pause-" + std::to_string(seconds) + ".aac"),
                             noise + testsupport::readFile(*s_dir / name) + noise);
    }
    // Over 10 MB, its bytes halved inside 40 s of digital silence, with 200 bytes zeroed from a
    // silent frame's header 3 kB before the middle: the reader steps over them without a word.
    std::string silentDamage = noise + noise + testsupport::readFile(*s_dir / "silence-40.aac") + noise + noise;
    silentDamage.replace(voxtrellis::test::adtsHeaderPast(silentDamage, 0.5 - 3000.0 / double(silentDamage.size())),
                         200, 200, '\0');
    testsupport::writeFile(*s_dir / "pause-damaged.aac", silentDamage);
    // Noise throughout, 240 s: a header at 30 s the reader cannot step over, 64 kB zeroed at 100 s
    // (FFmpeg's ADTS reader drops them, and the positions its parser states lie short by them from
    // there on).
    const std::string whole = noise + noise + noise;
    testsupport::writeFile(*s_dir / "whole.aac", whole);
    testsupport::writeFile(*s_dir / "damaged.aac", adtsWithUnreadableHeader(whole, 30, 100, 65536));
    // 64 kB zeroed at 180 s, in the second half the index reads.
    std::string secondHalf = whole;
    secondHalf.replace(adtsHeaderAt(whole, 180) + 100, 65536, 65536, '\0');
    testsupport::writeFile(*s_dir / "second-half.aac", secondHalf);
    // Headers stating 8191 bytes at 50 and 150 s: each packet swallows the frames after it.
    testsupport::writeFile(*s_dir / "overlong.aac",
                           voxtrellis::test::withAdtsFrameLength(
                               voxtrellis::test::withAdtsFrameLength(whole, adtsHeaderAt(whole, 50), 8191),
                               adtsHeaderAt(whole, 150), 8191));
    // 4 kB zeroed at 40 s, which the reader steps over without a word, then at 160 s a header it
    // cannot step over, after which FFmpeg starts its parser again.
    std::string steps = voxtrellis::test::withAdtsFrameLength(whole, adtsHeaderAt(whole, 160), 0);
    steps.replace(adtsHeaderAt(whole, 40) + 100, 4096, 4096, '\0');
    testsupport::writeFile(*s_dir / "steps-then-unreadable.aac", steps);
    // A header at 50 s stating four raw blocks where its frame holds one, then at 150 s a header
    // the reader cannot step over.
    std::string blocks = voxtrellis::test::withAdtsFrameLength(whole, adtsHeaderAt(whole, 150), 0);
    blocks[adtsHeaderAt(whole, 50) + 6] |= char(0x03);
    testsupport::writeFile(*s_dir / "blocks-then-unreadable.aac", blocks);
    // 300 bits flipped from 5 s on: the decoder refuses many a packet.
    std::string flipped = whole;
    std::mt19937 random(63);
    const std::size_t from = adtsHeaderAt(whole, 5);
    for (int bit = 0; bit < 300; ++bit) {
      flipped[from + random() % (whole.size() - from)] ^= char(1 << (random() % 8));
    }
    testsupport::writeFile(*s_dir / "flipped.aac", flipped);
  }
  static void TearDownTestSuite() {
    delete s_dir;
    s_dir = nullptr;
  }
  static inline testsupport::TempDir* s_dir = nullptr;
};

// The index of a large raw file joined its halves where the first came to a packet alike the
// second's first ones, and frames of digital silence are alike: a seek into the second half of a
// file with silence at its middle was heard one frame late (+26 ms, +72 ms at 8 kHz), up to 24
// frames (+0.6 s); with damage in the silence before the middle, where past it a silent frame is
// found a frame or more from where it lies, four frames early (-93 ms). Each seek into either
// half is heard from the loader's sound at its time.
TEST_F(LargeRawFileTest, ASeekIntoEitherHalfOfAFileWithSilenceAtItsMiddleIsHeardWhereTheLoaderHasIt) {
  const std::map<std::string, std::vector<double>> seeks{{"pause-44k.mp3", {160, 60, 230.5, 141}},
                                                         {"pause-8k.mp3", {400, 100, 530, 291}},
                                                         {"pause-23.aac", {150, 40, 180.3, 104}},
                                                         {"pause-40.aac", {190, 40, 150.3, 121}},
                                                         {"pause-damaged.aac", {250, 300.3, 199.9, 350, 100}}};
  for (const auto& [name, spots] : seeks) {
    ASSERT_GT(fs::file_size(*s_dir / name), std::uintmax_t(4) << 20) << name;
    const std::vector<float> loader = loaded(*s_dir / name);
    PlaybackDecoder decoder(pathOf(*s_dir / name), loaderFormat());
    for (const double spot : spots) {
      const auto offset = offsetFrom(loader, heardFrom(decoder, spot), spot);
      ASSERT_TRUE(offset) << name << ": what is heard from " << spot << " s is not the loader's sound near it";
      EXPECT_NEAR(*offset, 0.0, 0.003) << name << ", from " << spot << " s";
    }
  }
}

// The index's pass ended at the first header it could not read: a seek past it read the file
// from there (1.5 s and more in a long file), and every later one found nothing (a decoder that
// had read past the damage once took it for the file's end). Past 64 kB the reader dropped, the
// positions its parser stated lay short by them, and seeks went early by a second. Once the index is
// built, every seek past the damage, again and again, reads no more of the file than one in a
// sound file does (a few blocks) and is heard from the loader's sound at its time.
TEST_F(LargeRawFileTest, SeeksPastDamageReadFromTheIndexAndAreHeardWhereTheLoaderHasThem) {
  const fs::path file = *s_dir / "damaged.aac";
  const std::vector<float> loader = loaded(file);
  EXPECT_NEAR(double(loader.size()) / kRate, 238.0, 1.0);
  PlaybackDecoder decoder(pathOf(file), loaderFormat());
  heardFrom(decoder, 1e6);  // waits for the index to be done
  for (const double spot : {200.0, 50.0, 30.1, 230.0, 30.1, 120.0, 102.0, 200.0}) {
    const long long before = bytesReadHere();
    const std::vector<float> heard = heardFrom(decoder, spot);
    const long long read = bytesReadHere() - before;
    EXPECT_LT(read, 256 * 1024) << "from " << spot << " s";
    const auto offset = offsetFrom(loader, heard, spot);
    ASSERT_TRUE(offset) << "what is heard from " << spot << " s is not the loader's sound near it";
    EXPECT_NEAR(*offset, 0.0, 0.003) << "from " << spot << " s";
  }
}

// The player counted a raw file's time a second time, from headers and byte positions, and each
// kind of damage found a new place where that count and the loader's differ: past 64 kB zeroed in
// the second half of a large file (the index's second reader placed its packets where the parser
// stated them, megabytes off); past a header stating 8191 bytes (the packet was counted one frame,
// where the decoder gave the 27 it swallowed: +627 ms per such header); past a restart of FFmpeg's
// parser after bytes its reader had stepped over (the packets were looked for past where they lay:
// seeks went seconds astray, each taking seconds); past a header stating four raw blocks where
// its frame holds one, the one FFmpeg's decoder decodes (the count ran three blocks ahead of the
// sound: seeks by the index went -70 ms astray, and past later damage the loader laid the sound at
// that count, behind silence that is none, where a seek across the damage by the loader's places
// did not: +70 ms). Each seek past the damage is heard from the loader's sound at its time, by the
// loader's places of the file's sound as the application gives them, and by the player's own
// index for a file without them; and the activity log's figure is within a fifth of what the
// loader lost.
TEST_F(LargeRawFileTest, SeeksPastEveryKindOfDamageAreHeardWhereTheLoaderHasThem) {
  const std::vector<float> whole = loaded(*s_dir / "whole.aac");
  const std::map<std::string, std::vector<double>> seeks{{"second-half.aac", {200, 181, 230.5}},
                                                         {"overlong.aac", {100, 200, 50.2, 150.3, 236}},
                                                         {"steps-then-unreadable.aac", {100, 200, 161, 41}},
                                                         {"blocks-then-unreadable.aac", {200, 100, 150.2}}};
  for (const auto& [name, spots] : seeks) {
    const parlowvista::LoadedAudio loader = parlowvista::AudioProcessor().loadAndResample(pathOf(*s_dir / name));
    ASSERT_TRUE(loader.places) << name;
    // The places of another file are not taken.
    EXPECT_FALSE(
        PlaybackDecoder(pathOf(*s_dir / "pause-23.aac"), loaderFormat(), loader.places).seeksByLoadersPlaces());
    const double lost = voxtrellis::test::lostSeconds(whole, loader.samples, kRate);
    EXPECT_NEAR(secondsSaid(loader.damage), lost, std::max(0.2 * lost, 0.05))
        << name << ": " << loader.damage.toStdString();
    for (const bool byPlaces : {true, false}) expectHeardWhereTheLoaderHasThem(*s_dir / name, loader, byPlaces, spots);
  }
}

// A file edited in place at the same size (3000 bytes taken out at 46 % of it, 3000 put in at
// 54 %) keeps its record of places: the file's size, and the places the player looks at when it
// takes them, lie outside the stretch that moved. Seeks into that stretch went by places that lie
// elsewhere now, a quarter of a second and more off; the player checks the place a seek goes by,
// and without it seeks by its own index of the file as it is now.
TEST_F(LargeRawFileTest, SeeksInAFileEditedInPlaceAtTheSameSizeAreNotSentAstrayByItsOldPlaces) {
  const parlowvista::LoadedAudio before = parlowvista::AudioProcessor().loadAndResample(pathOf(*s_dir / "whole.aac"));
  ASSERT_TRUE(before.places);
  const std::string bytes = testsupport::readFile(*s_dir / "whole.aac");
  const std::size_t out = bytes.size() * 46 / 100, in = bytes.size() * 54 / 100;
  testsupport::writeFile(*s_dir / "edited.aac", bytes.substr(0, out) + bytes.substr(out + 3000, in - out - 3000) +
                                                    bytes.substr(out, 3000) + bytes.substr(in));
  const std::vector<float> after = loaded(*s_dir / "edited.aac");
  PlaybackDecoder decoder(pathOf(*s_dir / "edited.aac"), loaderFormat(), before.places);
  ASSERT_TRUE(decoder.seeksByLoadersPlaces());
  for (const double spot : {120.0, 125.5, 200.0, 40.0}) {
    const auto offset = offsetFrom(after, heardFrom(decoder, spot), spot);
    ASSERT_TRUE(offset) << spot << " s: not the sound of the file as it is now near it";
    EXPECT_NEAR(*offset, 0.0, 0.03) << spot << " s";
  }
  EXPECT_FALSE(decoder.seeksByLoadersPlaces());
}

// An MP3 whose Info frame counts 24 of its frames (damage to one byte of it): the player took the
// length it states for a bound past which no frame's stamp is believed, and the first frame after
// a seek past it, its first samples dropped (the encoder's delay, which FFmpeg drops after a seek
// too), was laid where the seek went: heard 0.35 s early, by the loader's places and by the index
// alike. Each is heard where the loader has its time.
TEST(PlaybackDecoderTest, SeeksInAnMp3WhoseInfoFrameUndercountsItAreHeardWhereTheLoaderHasThem) {
  testsupport::TempDir dir;
  ASSERT_TRUE(ffmpegMake(dir / "whole.mp3", "-f lavfi -i '" + noiseSource(6) + "' -ac 2 -b:a 128k"));
  std::string bytes = testsupport::readFile(dir / "whole.mp3");
  const std::size_t info = bytes.find("Info");
  ASSERT_NE(info, std::string::npos);
  // The frame count follows the tag and its flags, big-endian.
  bytes.replace(info + 8, 4, std::string("\0\0\0\x18", 4));
  testsupport::writeFile(dir / "undercounted.mp3", bytes);
  const parlowvista::LoadedAudio loader =
      parlowvista::AudioProcessor().loadAndResample(pathOf(dir / "undercounted.mp3"));
  EXPECT_NEAR(loader.duration, 6.0, 0.05);
  for (const bool byPlaces : {true, false}) {
    PlaybackDecoder decoder(pathOf(dir / "undercounted.mp3"), loaderFormat(), byPlaces ? loader.places : nullptr);
    for (const double spot : {2.7, 4.5, 1.5}) {
      const auto offset = offsetFrom(loader.samples, heardFrom(decoder, spot), spot);
      const std::string what =
          (byPlaces ? "by the loader's places, from " : "by the index, from ") + std::to_string(spot);
      ASSERT_TRUE(offset) << what << ": not the loader's sound near it";
      EXPECT_NEAR(*offset, 0.0, 0.03) << what;
    }
  }
}

// Damage FFmpeg reads otherwise from where its reading starts. An ADTS header FFmpeg's reader
// takes and its parser does not (a rate no header states), of a frame running on into a later
// one: read from before it, the reader takes all that as one packet and steps over the bytes after
// it up to the next header, and the parser, which found the frames inside that packet, joins what
// lay on either side of those bytes; read from one of those frames, the file gives its frames
// whole. The loader kept places at them, and the index checkpoints, so that a seek past the
// damage went there and decoded frames the loader had lost: heard 23 ms to 0.3 s from where the
// loader has its time (the fuzz found it on six seeds). An M4A whose media header states a time
// scale 191 times its rate: FFmpeg took every seek for one into the encoder's delay at the file's
// start, and had the decoder drop samples from the first packet after it, whose frame then lay at
// its own stamp, not at the loader's place: a seek to 1.5 s was heard from 1.08 s, one to 0.6 s
// from 0.85 s, one to 2.7 s gave nothing. Each seek is heard from the loader's sound at its time,
// by the loader's places and, in the ADTS file, by the player's index.
TEST(PlaybackDecoderTest, SeeksPastDamageFFmpegReadsOtherwiseFromElsewhereAreHeardWhereTheLoaderHasThem) {
  testsupport::TempDir dir;
  ASSERT_TRUE(ffmpegMake(dir / "whole.aac", "-f lavfi -i '" + noiseSource(6) + "' -ac 2 -c:a aac"));
  std::string aac = testsupport::readFile(dir / "whole.aac");
  const std::vector<std::size_t> frames = voxtrellis::test::adtsFrames(aac);
  for (const double seconds : {1.4, 3.5}) {
    const auto at = std::size_t(seconds * 44100 / 1024);
    aac = voxtrellis::test::withAdtsHeaderOnlyTheReaderTakes(aac, frames.at(at), frames.at(at + 10) + 17);
    ASSERT_FALSE(aac.empty());
  }
  testsupport::writeFile(dir / "reader-only.aac", aac);
  ASSERT_TRUE(ffmpegMake(dir / "whole.m4a", "-f lavfi -i '" + noiseSource(3) + "' -ac 2 -c:a aac"));
  // 0x0080AC44, a bit flipped in 44 100.
  testsupport::writeFile(dir / "time-scale.m4a",
                         voxtrellis::test::withMediaTimeScale(testsupport::readFile(dir / "whole.m4a"), 0x0080AC44));
  const std::map<std::string, std::vector<double>> seeks{{"reader-only.aac", {1.7, 1.85, 2.0, 2.4, 3.8, 3.95, 4.4}},
                                                         {"time-scale.m4a", {1.5, 2.7, 0.6}}};
  for (const auto& [name, spots] : seeks) {
    const parlowvista::LoadedAudio loader = parlowvista::AudioProcessor().loadAndResample(pathOf(dir / name));
    ASSERT_TRUE(loader.places) << name;
    expectHeardWhereTheLoaderHasThem(dir / name, loader, true, spots);
    if (name == "reader-only.aac") expectHeardWhereTheLoaderHasThem(dir / name, loader, false, spots);
  }
}

// The player no longer marked a packet the decoder refused as damage (the loader lays silence
// for it, by its header's length): played straight through, a file with many such packets went
// ahead of the loader's time, 859 ms at 550 s of a 30-minute one. Every stretch of it is where the
// loader has it.
TEST_F(LargeRawFileTest, PlayedStraightThroughPastRefusedPacketsEveryStretchIsWhereTheLoaderHasIt) {
  const parlowvista::LoadedAudio loader = parlowvista::AudioProcessor().loadAndResample(pathOf(*s_dir / "flipped.aac"));
  ASSERT_TRUE(loader.damage.contains("damaged stretches")) << loader.damage.toStdString();
  PlaybackDecoder decoder(pathOf(*s_dir / "flipped.aac"), loaderFormat());
  const std::vector<float> played = decodedToTheEnd(decoder);
  for (double spot : {60.3, 120.3, 180.3, 235.3}) {
    // Where the loader has sound (silence stands for refused packets).
    while (voxtrellis::test::rms(loader.samples, std::size_t(spot * kRate), std::size_t((spot + 0.1) * kRate)) < 0.02f)
      spot += 0.1;
    ASSERT_GT(played.size(), std::size_t((spot + 0.1) * kRate)) << spot;
    const auto from = played.begin() + std::ptrdiff_t(spot * kRate);
    const std::vector<float> stretch(from, from + std::ptrdiff_t(kRate / 10));
    const auto offset = offsetFrom(loader.samples, stretch, spot);
    ASSERT_TRUE(offset) << "at " << spot << " s: not the loader's sound near it";
    EXPECT_NEAR(*offset, 0.0, 0.003) << "at " << spot << " s";
  }
}

// An ADTS file cut 1 to 6 bytes into a frame's 7-byte header (a recording or a download broken
// off) was refused whole by the loader, FFmpeg's reader answering EIO, and the player said its
// decoding failed. Cut at every byte of a header, it loads what lies before the cut, as the ffmpeg
// tool decodes it, and the player plays as much without a word.
TEST(PlaybackDecoderTest, AnAdtsFileCutInsideAFrameHeaderLoadsAndPlaysWhatLiesBeforeTheCut) {
  testsupport::TempDir dir;
  ASSERT_TRUE(ffmpegMake(dir / "whole.aac", "-f lavfi -i '" + noiseSource(12) + "' -ac 2 -c:a aac"));
  const std::string whole = testsupport::readFile(dir / "whole.aac");
  const std::size_t header = voxtrellis::test::adtsFrames(whole).at(std::size_t(10.0 * 44100 / 1024));
  for (std::size_t cut = 0; cut <= 9; ++cut) {
    const fs::path file = dir / ("cut-" + std::to_string(cut) + ".aac");
    testsupport::writeFile(file, whole.substr(0, header + cut));
    ASSERT_TRUE(ffmpegMake(dir / "tool.f32", "-loglevel fatal -i '" + file.string() + "' -ac 1 -ar 16000 -f f32le"));
    const double tool = double(fs::file_size(dir / "tool.f32")) / sizeof(float) / kRate;
    EXPECT_NEAR(tool, 10.0, 0.05) << cut;
    double length = 0;
    try {
      length = parlowvista::AudioProcessor().loadAndResample(pathOf(file)).duration;
    } catch (const std::exception& error) {
      ADD_FAILURE() << "cut " << cut << " bytes into the header: " << error.what();
    }
    EXPECT_NEAR(length, tool, 0.01) << cut;
    PlaybackDecoder decoder(pathOf(file), loaderFormat());
    EXPECT_NEAR(double(decodedToTheEnd(decoder).size()) / kRate, length, 0.01) << cut;
    EXPECT_FALSE(decoder.stoppedOnError()) << cut;
  }
}

// A damaged packet in an M4A left FFmpeg's AAC decoder silent for the rest of the file (it took
// the packet for a new layout of its channels), the loader's sound too: played straight through,
// the file was silent from the damage on. Each second after it plays its tone, as the loader has
// it. A damaged packet the decoder takes without an error may decode to thousands of times full
// scale (its first channel's gain raised 2^16 times here; a bit flipped in an M4A of the fuzz
// gave 10^5): it played as a blast, in the loader's sound too, and where such sound lay mostly
// above what 16 kHz keeps, the trace resampling left of it differed with what the decoder had
// decoded before and where the resampler started, so that a seek just past it was heard as a
// burst, not as the loader's sound. Such a frame is damage, which the log tells at its length;
// the loader and the player lay silence for it, straight through and from a seek.
TEST(PlaybackDecoderTest, DamageTheAacDecoderTakesBadlyIsPlayedAsTheLoaderHasIt) {
  const fs::path file = testsupport::fixturesDir() / "damaged" / "silenced.m4a";
  const std::vector<float> loader = loaded(file);
  PlaybackDecoder decoder(pathOf(file), loaderFormat());
  const std::vector<float> played = decodedToTheEnd(decoder);
  EXPECT_FALSE(decoder.stoppedOnError());
  ASSERT_NEAR(double(played.size()), double(loader.size()), 0.05 * kRate);
  for (int second = 6; second < 19; ++second) {
    const auto from = std::size_t((second + 0.25) * kRate), to = from + kRate / 2;
    const double tone = 300.0 + 200 * second;
    EXPECT_NEAR(voxtrellis::test::risingCrossingsPerSecond(played, from, to, kRate), tone, 0.03 * tone) << second;
    EXPECT_NEAR(voxtrellis::test::rms(played, from, to), voxtrellis::test::rms(loader, from, to), 0.02) << second;
    EXPECT_GT(voxtrellis::test::rms(loader, from, to), 0.1) << second;
  }

  testsupport::TempDir dir;
  ASSERT_TRUE(ffmpegMake(dir / "noise.aac", "-f lavfi -i '" + noiseSource(12) + "' -ac 2 -c:a aac"));
  const std::string noise = testsupport::readFile(dir / "noise.aac");
  testsupport::writeFile(dir / "blast.aac", voxtrellis::test::withAdtsGainRaised(noise, adtsHeaderAt(noise, 6.0)));
  const parlowvista::LoadedAudio blast = parlowvista::AudioProcessor().loadAndResample(pathOf(dir / "blast.aac"));
  EXPECT_TRUE(blast.damage.contains("at 00:05.9")) << blast.damage.toStdString();
  EXPECT_NEAR(secondsSaid(blast.damage), 1024.0 / 44100, 0.005) << blast.damage.toStdString();
  const auto loudest = [](const std::vector<float>& samples) {
    float most = 0;
    for (const float sample : samples) most = std::max(most, std::abs(sample));
    return most;
  };
  EXPECT_LT(loudest(blast.samples), 1.0f);
  PlaybackDecoder straight(pathOf(dir / "blast.aac"), loaderFormat(), blast.places);
  const std::vector<float> through = decodedToTheEnd(straight);
  EXPECT_LT(loudest(through), 1.0f);
  EXPECT_NEAR(double(through.size()), double(blast.samples.size()), 0.01 * kRate);
  PlaybackDecoder seeking(pathOf(dir / "blast.aac"), loaderFormat(), blast.places);
  for (const double spot : {6.01, 6.03}) {
    const auto offset = offsetFrom(blast.samples, heardFrom(seeking, spot), spot);
    ASSERT_TRUE(offset) << "from " << spot << " s: not the loader's sound near it";
    EXPECT_NEAR(*offset, 0.0, 0.003) << "from " << spot << " s";
  }
}

// A header could claim hours: a 10-s CAF stating 4096 frames per packet of one loaded as 20 479 s
// of silence (2 GB of memory: its packets' stamps ran ahead of its frames, and the gaps became
// silence), one stating 753 Hz gave the player's decoder sound without end where the loader
// refused it, and a WAV whose block size was damaged was refused by the loader and played by the
// player (one stating 386 MHz was refused by both, after a gigabyte). Each file gives no more than
// its frames hold, and the loader and the player take the same files, refusing the others in
// plain words.
TEST(PlaybackDecoderTest, AHeaderClaimingMoreThanTheFileHoldsIsTakenForWhatItHoldsByTheLoaderAndThePlayerAlike) {
  testsupport::TempDir dir;
  ASSERT_TRUE(ffmpegMake(dir / "tone.caf", "-f lavfi -i sine=f=440:sample_rate=44100:d=4 -ac 1 -c:a pcm_s16be"));
  ASSERT_TRUE(ffmpegMake(dir / "tone.wav", "-f lavfi -i sine=f=440:sample_rate=44100:d=4 -ac 2"));
  const std::string caf = testsupport::readFile(dir / "tone.caf");
  testsupport::writeFile(dir / "packets.caf", cafStating(caf, std::nullopt, 4096));
  const double length = parlowvista::AudioProcessor().loadAndResample(pathOf(dir / "packets.caf")).duration;
  EXPECT_NEAR(length, 4.0, 0.01);
  PlaybackDecoder packets(pathOf(dir / "packets.caf"), loaderFormat());
  EXPECT_NEAR(double(decodedToTheEnd(packets, 60).size()) / kRate, 4.0, 0.01);

  // An ALAC CAF stating a fixed size of 43 776 bytes a packet (its packets vary, and it states 0):
  // its reader fails after the first. The loader refused the file, the player played that packet;
  // both end there now, as the ffmpeg tool does.
  ASSERT_TRUE(ffmpegMake(dir / "noise.caf", "-f lavfi -i '" + noiseSource(3) + "' -ac 2 -c:a alac"));
  std::string alac = testsupport::readFile(dir / "noise.caf");
  alac[38] = char(0xAB);
  testsupport::writeFile(dir / "packet-size.caf", alac);
  const double held = parlowvista::AudioProcessor().loadAndResample(pathOf(dir / "packet-size.caf")).duration;
  EXPECT_NEAR(held, 4096.0 / 44100, 0.002);
  PlaybackDecoder fixed(pathOf(dir / "packet-size.caf"), loaderFormat());
  EXPECT_NEAR(double(decodedToTheEnd(fixed).size()) / kRate, held, 0.002);
  EXPECT_FALSE(fixed.stoppedOnError());

  testsupport::writeFile(dir / "753-hz.caf", cafStating(caf, 753.0, std::nullopt));
  std::string wav = testsupport::readFile(dir / "tone.wav");
  wav[32] = char(0x04);  // the block size: 0xF704 bytes a frame
  wav[33] = char(0xF7);
  testsupport::writeFile(dir / "block.wav", wav);
  wav = testsupport::readFile(dir / "tone.wav");
  wav[27] = char(0x17);  // the rate: 385 920 068 Hz (a resampler for it took a gigabyte)
  testsupport::writeFile(dir / "rate.wav", wav);
  for (const std::string name : {"753-hz.caf", "block.wav", "rate.wav"}) {
    try {
      parlowvista::AudioProcessor().loadAndResample(pathOf(dir / name));
      ADD_FAILURE() << name << " loaded";
    } catch (const parlowvista::AudioError& error) {
      EXPECT_EQ(error.what(), "Not an audio file, or damaged: " + name);
    }
    try {
      PlaybackDecoder decoder(pathOf(dir / name), loaderFormat());
      ADD_FAILURE() << name << " plays " << decodedToTheEnd(decoder, 60).size() / kRate << " s";
    } catch (const parlowvista::PlaybackError& error) {
      EXPECT_EQ(error.what(), "Cannot play " + name + ": not an audio file, or damaged");
    }
  }
}

// A valid 34-hour M4A (AAC at 48 kHz, as the ffmpeg tool writes it) was refused as "Invalid audio
// data", and the player played nothing of it: FFmpeg's index of its 5.7 million packets, one
// allocation of 138 MB, passed the bound on what FFmpeg may allocate at once. Made here of ten
// minutes of silence with a tone from 5:00 to 5:10, copied on 204 times. The loader reads on
// through it (stopped once it has read a hundredth: the whole would be 8 GB of samples), and the
// player goes to 33 hours and hears the tone where it lies. The bound follows the files open:
// once the player has closed it, FFmpeg is held again to what any file may take.
TEST(PlaybackDecoderTest, A34HourM4aLoadsAndPlaysFrom33Hours) {
  testsupport::TempDir dir;
  ASSERT_TRUE(ffmpegMake(dir / "ten-minutes.m4a",
                         "-f lavfi -i \"sine=f=250:r=48000:d=600,volume='between(t,300,310)':eval=frame\" -c:a aac "
                         "-b:a 8k"));
  const fs::path file = dir / "34-hours.m4a";
  ASSERT_TRUE(ffmpegMake(file, "-stream_loop -1 -i '" + (dir / "ten-minutes.m4a").string() + "' -t 122400 -c copy"));

  std::stop_source stop;
  double read = 0;
  const auto progress = [&](double share) {
    read = share;
    if (share >= 0.01) stop.request_stop();
  };
  EXPECT_THROW(parlowvista::AudioProcessor().loadAndResample(pathOf(file), progress, stop.get_token()),
               voxtrellis::WorkStopped);
  EXPECT_GE(read, 0.01);

  const auto allocates = [](std::size_t bytes) {
    void* block = av_malloc(bytes);
    av_free(block);
    return block != nullptr;
  };
  const std::size_t index = 5737501 * sizeof(AVIndexEntry);
  {
    PlaybackDecoder decoder(pathOf(file), loaderFormat());
    EXPECT_NEAR(decoder.announcedDuration(), 122400, 1);
    const double hours33 = 33 * 3600;
    const std::vector<float> tone = heardFrom(decoder, hours33 + 305), quiet = heardFrom(decoder, hours33 + 295);
    ASSERT_GE(tone.size(), kRate / 5);
    ASSERT_GE(quiet.size(), kRate / 5);
    EXPECT_NEAR(voxtrellis::test::risingCrossingsPerSecond(tone, 0, tone.size(), kRate), 250, 10);
    EXPECT_GT(voxtrellis::test::rms(tone, 0, tone.size()), 0.05);
    EXPECT_LT(voxtrellis::test::rms(quiet, 0, quiet.size()), 0.001);
    EXPECT_FALSE(decoder.stoppedOnError());
    EXPECT_TRUE(allocates(index));
  }
  EXPECT_FALSE(allocates(index));
}

}  // namespace
