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

  // The shown result: text per segment, in order.
  QStringList texts() const {
    QStringList out;
    if (const auto* result = h.vm->state().result()) {
      for (const auto& s : result->segments) out << s.text;
    }
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

// After the first run: edit, split, merge, rename, autosave, reload, re-process into the
// version, duplicate, export, translate.
TEST_F(PipelineEndToEndTest, ALongFilesProgressMovesWithinLoadingRecognitionAndDiarizationAndNeverBack) {
  const auto wav = h.dir / "long.wav";
  writeFloatWav(wav, twoVoices(300.0));
  QList<std::pair<ProcessingStage, double>> seen;
  const auto note = [&] {
    if (const auto stage = h.vm->state().stage()) seen.append({*stage, h.vm->progress()});
  };
  QObject::connect(h.vm.get(), &TranscriptionViewModel::stateChanged, note);
  QObject::connect(h.vm.get(), &TranscriptionViewModel::progressChanged, note);
  h.vm->processFile(QUrl::fromLocalFile(QString::fromStdString(wav.string())));
  ASSERT_TRUE(h.settle(120000));
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
  for (qsizetype i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i].second, seen[i - 1].second) << i;
  for (const ProcessingStage stage :
       {ProcessingStage::loadingAudio, ProcessingStage::transcribing, ProcessingStage::diarizing}) {
    SCOPED_TRACE(rawValue(stage).toStdString());
    QList<double> within;
    for (const auto& [at, progress] : seen) {
      if (at == stage && (within.isEmpty() || progress > within.last())) within.append(progress);
    }
    // 5 minutes: 19 MB read, 23 recognition chunks, 300 analysis windows.
    EXPECT_GE(within.size(), 15);
  }
}

TEST_F(PipelineEndToEndTest, AVersionIsEditedSavedReprocessedDuplicatedExportedAndTranslated) {
  writeFloatWav(h.dir / "talk.wav", twoVoices(14.0, {{20, 5}, {21, 6}, {40, 7}, {110, 7}, {130, 5}, {131, 6}}));
  h.vm->processFile(QUrl::fromLocalFile(h.path("talk.wav")));
  ASSERT_TRUE(h.settle());
  ASSERT_EQ(texts(), (QStringList{"hello world", "world hello"}));
  Transcription* version = h.vm->currentTranscription();

  // Editing.
  h.vm->updateSegmentText(0, "hello big world");
  ASSERT_EQ(h.vm->splitSegment(0, "hello big world", 5), 1);
  ASSERT_EQ(h.vm->mergeWithPrevious(2, "world hello"), 1);
  h.vm->renameSpeaker(0, "Ann");
  EXPECT_EQ(texts(), (QStringList{"hello", "big world world hello"}));

  // Autosave, then the version read back from the store.
  h.settings->setAutoSaveInterval(0.02);
  h.vm->setupAutoSave();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h.vm->hasUnsavedChanges(); }));
  h.vm->clearResult();
  h.vm->loadTranscription(version);
  EXPECT_EQ(texts(), (QStringList{"hello", "big world world hello"}));
  EXPECT_EQ(h.vm->speakers().value(0).customName, "Ann");
  ASSERT_TRUE(testsupport::waitUntil([&] { return h.vm->hasCachedSamples(); }));
  EXPECT_EQ(h.vm->cachedSamples()->size(), std::size_t(14 * kRate));

  // Re-processing into the same version, from the cached samples.
  h.vm->reprocess();
  ASSERT_TRUE(h.settle());
  EXPECT_EQ(h.vm->currentTranscription(), version);
  EXPECT_EQ(texts(), (QStringList{"hello world", "world hello"}));
  EXPECT_TRUE(version->speakers().isEmpty());

  // Duplicating into "Version 2".
  h.vm->duplicateCurrentTranscription();
  ASSERT_EQ(h.vm->currentTranscription()->name(), "Version 2");

  // Export.
  for (ExportFormat format : allExportFormats()) {
    h.dialogs->nextPath = h.path("export." + fileExtension(format));
    h.vm->exportTranscript(format);
    EXPECT_TRUE(QFile(*h.dialogs->nextPath).size() > 0);
  }
  EXPECT_TRUE(QFile(h.path("export.srt")).open(QIODevice::ReadOnly));
  EXPECT_TRUE(testsupport::readFile((h.dir / "export.srt").string()).find("world hello") != std::string::npos);
  EXPECT_TRUE(testsupport::readFile((h.dir / "export.json").string()).find("\"speakerCount\"") != std::string::npos);
}

}  // namespace
