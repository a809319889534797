// Files a user may hand the app that are not what they claim to be, through the whole road
// with the generated models and a real store: each run ends in a transcript or in a failure
// with a plain message, a failed run adds no version, and the next good file goes through.

#include "Models/AudioSource.h"
#include "Models/StoredSegment.h"
#include "Models/Transcription.h"
#include "Services/AudioPlayerService.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "engine/Shared/AudioTestFiles.h"
#include "support/Mp3Header.h"
#include "support/ReadFailure.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

#include <sys/stat.h>

using namespace pipelinetest;

namespace {

// Overwrites `count` bytes of a file at `offset` with a little-endian 32-bit value.
void patch32(const std::filesystem::path& path, std::streamoff offset, uint32_t value) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(offset);
  file.write(reinterpret_cast<const char*>(&value), 4);
}

// Overwrites two bytes of a file at `offset` with a little-endian 16-bit value.
void patch16(const std::filesystem::path& path, std::streamoff offset, uint16_t value) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(offset);
  file.write(reinterpret_cast<const char*>(&value), 2);
}

std::string randomBytes(std::size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
  return bytes;
}

// A 128 kbit/s MP3 made by ffmpeg: its first frame is the Info header naming the frame count.
constexpr std::uintmax_t kMp3HeaderBytes = 417;
constexpr std::uintmax_t kMp3BytesPerSecond = 16000;

bool mp3Of(const std::filesystem::path& wav, const std::filesystem::path& mp3) {
  return ffmpeg({"-i", QString::fromStdString(wav.string()), "-c:a", "libmp3lame", "-b:a", "128k",
                 QString::fromStdString(mp3.string())});
}

class PipelineHostileAudioTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(h.startModels()) << h.vm->statusMessage().toStdString(); }

  QString run(const QString& file) {
    h.vm->processFile(QUrl::fromLocalFile(file));
    EXPECT_TRUE(h.settle());
    return h.vm->statusMessage();
  }
  qsizetype versions() const { return h.context->fetch<Transcription>().size(); }
  // The activity log has a line with `detail` that names the file.
  void expectLogged(const std::filesystem::path& file, const std::string& detail) const {
    const QString shown = QFileInfo(QFile::decodeName(QByteArray::fromStdString(file.string()))).fileName();
    EXPECT_TRUE(std::any_of(h.vm->logs().begin(), h.vm->logs().end(), [&](const LogEntry& entry) {
      return entry.message.contains(QString::fromStdString(detail)) && entry.message.contains(shown);
    })) << detail;
  }

  Harness h{fixtureEngine()};
};

TEST_F(PipelineHostileAudioTest, EachFileEndsInATranscriptOrAPlainErrorAndTheNextFileStillRuns) {
  const std::vector<float> voices = twoVoices();
  writeFloatWav(h.dir / "good.wav", voices);
  struct Case {
    std::string name;  // the file's name
    std::function<void(const std::filesystem::path&)> make;
    // Without `error`, a transcript of about this many seconds. With one, a failure whose message
    // holds `error` in plain words, after reading this many seconds of audio unless negative.
    // Either way the log holds `detail` (when given), in the words of the part that said it, with
    // the file's name.
    double seconds;
    std::string error;
    std::string detail = {};
  };
  const std::vector<Case> cases = {
      {"empty.wav", [](const auto& p) { testsupport::writeFile(p, ""); }, -1,
       "Not an audio file, or damaged: empty.wav", "Invalid data found when processing input"},
      {"notes.wav", [](const auto& p) { testsupport::writeFile(p, "Meeting notes\nnot audio at all\n"); }, -1,
       "Not an audio file, or damaged: notes.wav", "Invalid data found when processing input"},
      {"one sample.wav", [](const auto& p) { writeFloatWav(p, {0.25f}); }, -1, "Invalid audio data"},
      // The header promises 14 s, the file holds 3 s.
      {"truncated.wav",
       [&](const auto& p) {
         writeFloatWav(p, voices);
         std::filesystem::resize_file(p, 44 + 3 * kRate * 4);
       },
       3.0, ""},
      // The sizes claim about half a gigabyte; the file holds 3 s.
      {"lying.wav",
       [&](const auto& p) {
         writeFloatWav(p, std::vector<float>(voices.begin(), voices.begin() + 3 * kRate));
         patch32(p, 4, 0x1fffffff);
         patch32(p, 40, 0x1fffffff);
       },
       3.0, ""},
      // 16-bit samples under a header that says 7 bits per sample (the field after the byte
      // rate and block size): refused before recognition, not read as noise.
      {"seven bits.wav",
       [&](const auto& p) {
         ASSERT_TRUE(ffmpeg({"-i", QString::fromStdString((h.dir / "good.wav").string()), "-c:a", "pcm_s16le",
                             "-map_metadata", "-1", "-fflags", "+bitexact", QString::fromStdString(p.string())}));
         ASSERT_EQ(testsupport::readFile(p).substr(12, 4), "fmt ");
         patch16(p, 34, 7);
       },
       -1, "Not an audio file, or damaged: seven bits.wav", "declares 7 bits per sample"},
      // Headers of 12 and 20 bits in frames of 2 and 3 bytes say what they hold: heard whole.
      {"twelve bits.wav",
       [&](const auto& p) {
         ASSERT_TRUE(ffmpeg({"-i", QString::fromStdString((h.dir / "good.wav").string()), "-c:a", "pcm_s16le",
                             "-map_metadata", "-1", "-fflags", "+bitexact", QString::fromStdString(p.string())}));
         patch16(p, 34, 12);
       },
       14.0, ""},
      {"twenty bits.wav",
       [&](const auto& p) {
         ASSERT_TRUE(ffmpeg({"-i", QString::fromStdString((h.dir / "good.wav").string()), "-c:a", "pcm_s24le",
                             "-map_metadata", "-1", "-fflags", "+bitexact", QString::fromStdString(p.string())}));
         patch16(p, 34, 20);
       },
       14.0, ""},
      // A recording cut short inside a sample frame (a copy or a download cut off) holds 7 s:
      // it was refused whole, FFmpeg taking the partial frame for invalid data.
      {"cut recording.wav",
       [&](const auto& p) {
         ASSERT_TRUE(
             ffmpeg({"-i", QString::fromStdString((h.dir / "good.wav").string()), "-ac", "2", "-ar", "44100", "-c:a",
                     "pcm_s16le", "-map_metadata", "-1", "-fflags", "+bitexact", QString::fromStdString(p.string())}));
         std::filesystem::resize_file(p, 44 + 7 * 44100 * 4 + 3);
       },
       7.0, ""},
      // 2 kB of noise 40 % into a FLAC: the frames it hit are skipped, the rest is transcribed at
      // its own time, and the activity log says where and how much was lost. The run ended at the
      // damage, keeping 5.6 s and saying nothing.
      {"damaged in the middle.flac",
       [&](const auto& p) {
         ASSERT_TRUE(ffmpeg({"-i", QString::fromStdString((h.dir / "good.wav").string()), "-c:a", "flac",
                             QString::fromStdString(p.string())}));
         std::string bytes = testsupport::readFile(p);
         bytes.replace(bytes.size() * 2 / 5, 2048, randomBytes(2048, 11));
         testsupport::writeFile(p, bytes);
       },
       14.0, "", "could not be decoded"},
      {"garbage.mp3",
       [&](const auto& p) {
         const QString mp3 = QString::fromStdString(p.string()) + ".src.mp3";
         ASSERT_TRUE(ffmpeg({"-i", QString::fromStdString((h.dir / "good.wav").string()), "-c:a", "libmp3lame", mp3}));
         std::string bytes = testsupport::readFile(mp3.toStdString()).substr(0, 2000);
         testsupport::writeFile(p, bytes + randomBytes(400000, 7));
       },
       -1, "at least 1 second"},
      // A 14 s MP3 cut off after about 3 s: its header still states 14 s.
      {"truncated.mp3",
       [&](const auto& p) {
         ASSERT_TRUE(mp3Of(h.dir / "good.wav", p));
         std::filesystem::resize_file(p, kMp3HeaderBytes + 3 * kMp3BytesPerSecond);
       },
       3.0, ""},
      // A whole file whose header claims billions of frames.
      {"lying.mp3",
       [&](const auto& p) {
         ASSERT_TRUE(mp3Of(h.dir / "good.wav", p));
         ASSERT_TRUE(testsupport::setMp3FrameCount(p, 0xfffffff0));
       },
       14.0, ""},
      {"Tür ü 名 with\nnewline.wav", [&](const auto& p) { writeFloatWav(p, voices); }, 14.0, ""},
      // Narrow-band and surround audio are read whole, but the generated recogniser hears no word
      // in them (its token levels do not pass the resampling): a file in which nothing is
      // recognised says so and stores no empty version.
      {"phone.wav",
       [&](const auto& p) {
         ASSERT_TRUE(ffmpeg({"-i", QString::fromStdString((h.dir / "good.wav").string()), "-ar", "8000", "-c:a",
                             "pcm_s16le", QString::fromStdString(p.string())}));
       },
       14.0, "No speech detected in audio"},
      {"surround.wav",
       [&](const auto& p) {
         const QString good = QString::fromStdString((h.dir / "good.wav").string());
         ASSERT_TRUE(ffmpeg({"-i", good, "-af", "aresample=96000,pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0", "-c:a",
                             "pcm_s24le", QString::fromStdString(p.string())}));
       },
       14.0, "No speech detected in audio"},
      {"gone.wav", [](const auto&) {}, -1, "Audio file not found: gone.wav"},
      // A name that is not UTF-8 reaches the application with its bad byte replaced: the file is
      // there, but no path the application can spell leads to it.
      {"b\xff"
       "d.wav",
       [&](const auto& p) { writeFloatWav(p, voices); }, -1, "The file's name cannot be read: b\uFFFDd.wav",
       "not valid UTF-8"},
      // A named pipe would block the decoder's open for good; a folder is no file either.
      {"pipe.wav", [](const auto& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, -1, "not a regular file"},
      {"folder.wav", [](const auto& p) { std::filesystem::create_directory(p); }, -1, "not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = h.dir / c.name;
    c.make(file);
    const qsizetype before = versions();
    const QString status = run(QFile::decodeName(QByteArray::fromStdString(file.string())));
    if (c.error.empty()) {
      ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << status.toStdString();
      EXPECT_NEAR(h.vm->state().result()->audioDuration(), c.seconds, 0.1);
      EXPECT_EQ(versions(), before + 1);
      ASSERT_NE(h.vm->currentAudioSource(), nullptr);
      EXPECT_EQ(h.vm->currentAudioSource()->filename().toStdString(), c.name);
      EXPECT_NEAR(h.vm->currentAudioSource()->duration(), c.seconds, 0.1);
      // The player plays and seeks within the audio there is, not the length a header announces.
      AudioPlayerService& player = h.vm->audioPlayer();
      EXPECT_TRUE(testsupport::waitUntil([&] { return player.isLoaded(); }));
      EXPECT_NEAR(player.duration(), c.seconds, 0.1);
      player.seek(c.seconds + 10);
      EXPECT_LE(player.currentTime(), h.vm->state().result()->audioDuration());
      if (!c.detail.empty()) expectLogged(file, c.detail);
    } else {
      ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed) << status.toStdString();
      EXPECT_NE(status.indexOf(QString::fromStdString(c.error)), -1) << status.toStdString();
      EXPECT_EQ(versions(), before);
      if (c.seconds >= 0) {
        EXPECT_NEAR(h.vm->cachedDuration().value_or(-1), c.seconds, 0.1);
      }
      if (!c.detail.empty()) expectLogged(file, c.detail);
    }
    // Whatever happened, the next good file goes through.
    run(QString::fromStdString((h.dir / "good.wav").string()));
    ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
    EXPECT_EQ(h.vm->state().result()->segments.size(), 2);
  }
}

// A file whose reads fail partway (a failing disk, an SD card, a network share gone away), here
// from its middle byte on: what was read before is transcribed, and the activity log says which
// file, from where nothing could be read and that the rest is not in the transcript. It used to
// end there as a success with nothing said, half the file taken for the whole. An M4A whose index
// lies past the failure cannot be opened: it is refused, with the read error (it was refused as
// "Not an audio file, or damaged").
TEST_F(PipelineHostileAudioTest, AFileWhoseReadsFailPartwayIsTranscribedUpToThereAndTheLogSaysSo) {
  writeFloatWav(h.dir / "source.wav", twoVoices());
  const QString source = h.path("source.wav");
  const std::vector<std::pair<std::string, QStringList>> files{
      {"failing.wav", {"-c:a", "pcm_s16le"}},
      {"failing.flac", {"-c:a", "flac"}},
      {"failing.mp3", {"-c:a", "libmp3lame", "-b:a", "128k"}},
      {"failing.m4a", {"-c:a", "aac", "-movflags", "+faststart"}},
      {"index-at-the-end.m4a", {"-c:a", "aac"}}};
  const QRegularExpression said(
      "^Nothing of (.+) could be read from (\\d\\d):(\\d\\d\\.\\d{3}) on \\(Input/output error\\): the rest of the "
      "file is not in the transcript$");
  for (const auto& [name, codec] : files) {
    SCOPED_TRACE(name);
    const QString path = h.path(QString::fromStdString(name));
    ASSERT_TRUE(ffmpeg(QStringList{"-i", source} + codec + QStringList{path}));
    const qsizetype before = versions();
    const qsizetype logged = h.vm->logs().size();
    {
      testsupport::ReadFailure failing(h.dir / name, std::filesystem::file_size(h.dir / name) / 2);
      run(path);
      EXPECT_GT(testsupport::ReadFailure::failures(), 0);
    }
    std::vector<QRegularExpressionMatch> lines;
    for (qsizetype i = logged; i < h.vm->logs().size(); ++i) {
      if (const auto line = said.match(h.vm->logs()[i].message); line.hasMatch()) lines.push_back(line);
    }
    if (name == "index-at-the-end.m4a") {
      ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed);
      EXPECT_TRUE(h.vm->statusMessage().contains("index-at-the-end.m4a cannot be read (Input/output error)"))
          << h.vm->statusMessage().toStdString();
      EXPECT_EQ(versions(), before);
      continue;
    }
    ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
    EXPECT_EQ(versions(), before + 1);
    const double kept = h.vm->state().result()->audioDuration();
    EXPECT_GT(kept, 4.0);
    EXPECT_LT(kept, 9.0);
    EXPECT_EQ(lines.size(), 1u);
    if (lines.size() != 1) continue;
    EXPECT_EQ(lines[0].captured(1).toStdString(), name);
    EXPECT_NEAR(lines[0].captured(2).toInt() * 60 + lines[0].captured(3).toDouble(), kept, 0.05);
  }
}

// With "Enhance audio" on, a damaged file is read as without: the enhancer filters the samples
// the loader read from the file itself. A raw AAC file with a header past three quarters that
// states no length keeps all its sound (ffmpeg reading it took the header for the end of the
// file and a quarter of the recording went, unsaid); one with two stretches zeroed keeps its time
// after each (ffmpeg's own skipping put it tens of milliseconds behind, the damage unsaid); an
// MP3 whose reads fail from its middle byte says so (ffmpeg, a process of its own, read it whole;
// a failing disk would have cut it short, unsaid). Each says the same damage as without and keeps
// the same time; the places kept are the file's, so the player seeks by them (they were the
// enhancer's temporary copy's, which the player refused).
TEST_F(PipelineHostileAudioTest, WithEnhancementOnADamagedFileKeepsAndSaysWhatItDoesWithout) {
  writeFloatWav(h.dir / "source.wav", twoVoices());
  ASSERT_TRUE(ffmpeg({"-i", h.path("source.wav"), "-ar", "44100", "-c:a", "aac", "-f", "adts", h.path("whole.aac")}));
  const std::string whole = testsupport::readFile(h.dir / "whole.aac");
  testsupport::writeFile(h.dir / "header.aac", voxtrellis::test::withAdtsFrameLength(
                                                   whole, voxtrellis::test::adtsHeaderPast(whole, 0.75), 0));
  std::string zeroed = whole;
  for (const double at : {0.3, 0.6})
    zeroed.replace(voxtrellis::test::adtsHeaderPast(whole, at) + 100, 4096, 4096, '\0');
  testsupport::writeFile(h.dir / "zeroed.aac", zeroed);
  ASSERT_TRUE(mp3Of(h.dir / "source.wav", h.dir / "failing.mp3"));
  // Every line, also those the log (the newest hundred) no longer holds.
  QStringList heard;
  QObject::connect(h.vm.get(), &TranscriptionViewModel::logsChanged, [&] { heard << h.vm->logs().last().message; });
  const auto linesSince = [&](qsizetype from) { return heard.mid(from); };
  const auto damageSaid = [&](qsizetype from) {
    QStringList said = linesSince(from);
    said.removeIf([](const QString& line) { return !line.startsWith("Nothing of ") && !line.startsWith("Part of "); });
    return said;
  };
  for (const char* name : {"header.aac", "zeroed.aac", "failing.mp3"}) {
    SCOPED_TRACE(name);
    const QString file = h.path(name);
    const bool failing = QString(name).startsWith("failing");
    double kept[2] = {0, 0};
    QStringList said[2];
    for (const bool enhanced : {false, true}) {
      if (enhanced) {
        ASSERT_TRUE(h.turnOnEnhancement());
      } else {
        h.vm->setAudioEnhancement(AudioEnhancementSettings());
      }
      const qsizetype logged = heard.size();
      {
        std::optional<testsupport::ReadFailure> reads;
        if (failing) reads.emplace(h.dir / name, std::filesystem::file_size(h.dir / name) / 2);
        run(file);
      }
      ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
      kept[enhanced] = h.vm->state().result()->audioDuration();
      said[enhanced] = damageSaid(logged);
      EXPECT_EQ(linesSince(logged).contains("Audio enhanced successfully"), enhanced);
      ASSERT_TRUE(testsupport::waitUntil([&] { return linesSince(logged).contains("Audio samples cached to disk"); }));
    }
    EXPECT_EQ(said[0].size(), 1) << said[0].join("\n").toStdString();
    EXPECT_EQ(said[1].join("\n").toStdString(), said[0].join("\n").toStdString());
    EXPECT_EQ(kept[1], kept[0]);
    EXPECT_GT(kept[1], failing ? 4.0 : 13.0);
    // The player seeks by the loader's places of the file, and so it will when the version is
    // opened again: the sample cache keeps them with the enhanced samples.
    if (!failing) {
      ASSERT_TRUE(testsupport::waitUntil([&] { return h.vm->audioPlayer().isLoaded(); }));
      EXPECT_TRUE(h.vm->audioPlayer().seeksByLoadersPlaces());
      AudioSource* source = h.vm->currentAudioSource();
      ASSERT_NE(source, nullptr);
      const auto places = h.sampleCache->loadCachedPlaces(source->id());
      ASSERT_NE(places, nullptr);
      EXPECT_EQ(places->fileSize(), qint64(std::filesystem::file_size(h.dir / name)));
      EXPECT_EQ(h.sampleCache->loadCachedSamples(source->id())->size(), std::size_t(kept[1] * 16000 + 0.5));
    }
  }
  h.vm->setAudioEnhancement(AudioEnhancementSettings());
}

// With enhancement on, a file that cannot be read fails as without, before anything is enhanced.
TEST_F(PipelineHostileAudioTest, WithEnhancementOnAFileThatCannotBeReadFailsAsWithout) {
  if (!h.turnOnEnhancement()) GTEST_SKIP() << "ffmpeg is not installed";
  // A named pipe would hold the reader for good.
  ASSERT_EQ(::mkfifo((h.dir / "pipe.wav").c_str(), 0600), 0);
  run(h.path("pipe.wav"));
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed);
  EXPECT_TRUE(h.vm->state().error()->message.contains("not a regular file")) << h.vm->statusMessage().toStdString();

  testsupport::writeFile(h.dir / "notes.wav", "Meeting notes\nnot audio at all\n");
  run(h.path("notes.wav"));
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed);
  const ErrorInfo& error = *h.vm->state().error();
  EXPECT_EQ(error.message.toStdString(), "Not an audio file, or damaged: notes.wav");
  EXPECT_TRUE(error.details->contains("Invalid data found")) << error.details->toStdString();
  EXPECT_FALSE(h.logged("Enhancing audio quality..."));
  EXPECT_EQ(versions(), 0);

  // (Enhanced audio blurs the levels the test recogniser reads: the next file goes without.)
  h.vm->setAudioEnhancement(AudioEnhancementSettings());
  writeFloatWav(h.dir / "good.wav", twoVoices());
  run(h.path("good.wav"));
  EXPECT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
}

}  // namespace
