// The whole road with the generated recognition and diarization models, a real store file,
// real audio files and the real ffmpeg.

#include "Models/StoredSegment.h"
#include "Models/Transcription.h"
#include "app/ViewModels/PipelineTestSupport.h"

#include <gtest/gtest.h>

using namespace pipelinetest;

namespace {

class PipelineEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(h.startModels()) << h.vm->statusMessage().toStdString(); }

  // The stored result of a finished run: text per segment, in order.
  QStringList texts() const {
    QStringList out;
    for (const auto& s : h.vm->state().result()->segments) out << s.text;
    return out;
  }

  Harness h{fixtureEngine()};
};

TEST_F(PipelineEndToEndTest, AFileInEachFormatBecomesAStoredVersionWithTwoSpeakers) {
  const auto wav = h.dir / "voices.wav";
  writeFloatWav(wav, twoVoices());
  const QString source = QString::fromStdString(wav.string());
  struct Format {
    const char* extension;
    QStringList codec;
    bool lossless;
  };
  const std::vector<Format> formats = {
      {"wav", {}, true},
      {"flac", {"-c:a", "flac", "-sample_fmt", "s32"}, true},
      {"aiff", {"-c:a", "pcm_s24be"}, true},
      {"caf", {"-c:a", "pcm_f32le"}, true},
      {"m4a", {"-c:a", "alac", "-sample_fmt", "s32p"}, true},
      {"mp3", {"-c:a", "libmp3lame", "-b:a", "320k"}, false},
      {"aac", {"-c:a", "aac", "-b:a", "256k"}, false},
  };
  for (const Format& format : formats) {
    SCOPED_TRACE(format.extension);
    const QString file = h.path(QString("talk.%1").arg(format.extension));
    if (QString(format.extension) == "wav") {
      QFile::copy(source, file);
    } else {
      ASSERT_TRUE(ffmpeg(QStringList{"-i", source} + format.codec + QStringList{file}));
    }
    h.vm->processFile(QUrl::fromLocalFile(file));
    ASSERT_TRUE(h.settle());
    ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
    const auto& result = *h.vm->state().result();
    EXPECT_NEAR(result.audioDuration(), 14.0, 0.1);
    if (format.lossless) {
      EXPECT_EQ(texts(), (QStringList{"hello", "world"}));
      ASSERT_EQ(result.segments.size(), 2);
      EXPECT_NE(result.segments[0].speakerId, result.segments[1].speakerId);
      EXPECT_LT(result.segments[0].startTime, 7.0);
      EXPECT_GT(result.segments[1].startTime, 7.0);
    }
    EXPECT_EQ(result.speakerCount(), format.lossless ? 2 : result.speakerCount());
    for (const auto& segment : result.segments) {
      EXPECT_LE(0.0, segment.startTime);
      EXPECT_LE(segment.startTime, segment.endTime);
      EXPECT_LE(segment.endTime, 14.0);
    }
    ASSERT_NE(h.vm->currentTranscription(), nullptr);
    EXPECT_EQ(h.vm->currentTranscription()->name(), "Version 1");
    EXPECT_EQ(h.vm->currentTranscription()->segments().size(), result.segments.size());
  }
}

}  // namespace
