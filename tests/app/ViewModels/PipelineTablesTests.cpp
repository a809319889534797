// The pure tables and texts of the pipeline: progress and status, presets, tabs,
// enhancement commands, download names, log numbers and the translation cost note.

#include "Models/AudioEnhancementSettings.h"
#include "Models/ContentTab.h"
#include "Models/DiarizationSettings.h"
#include "Models/Transcription.h"
#include "Services/EnhancementCommands.h"
#include "ViewModels/DownloadNaming.h"
#include "ViewModels/LogFormat.h"
#include "ViewModels/ProcessingStatus.h"
#include "ViewModels/TranslationCost.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace parlowvista;

namespace {

TEST(PipelineTablesTest, ProgressAndStatusFollowTheState) {
  struct Row {
    ProcessingState state;
    double progress;
    const char* status;
  };
  const std::vector<Row> rows = {
      {ProcessingState::idle(), 0.0, "Ready to transcribe"},
      {ProcessingState::loadingModels(0.5), 0.15, "Loading AI models..."},
      {ProcessingState::loadingModels(1.0), 0.3, "Loading AI models..."},
      {ProcessingState::modelsReady(), 0.3, "Models ready. Drop an audio file to begin."},
      {ProcessingState::processing(ProcessingStage::downloadingFromURL), 0.3, "Downloading from URL..."},
      // Loading comes first: the enhancer filters what the loader read.
      {ProcessingState::processing(ProcessingStage::loadingAudio), 0.335, "Loading audio file..."},
      {ProcessingState::processing(ProcessingStage::enhancingAudio), 0.545, "Enhancing audio quality..."},
      {ProcessingState::processing(ProcessingStage::transcribing), 0.615, "Transcribing speech..."},
      {ProcessingState::processing(ProcessingStage::diarizing), 0.825, "Identifying speakers..."},
      {ProcessingState::processing(ProcessingStage::merging), 0.93, "Combining results..."},
      {ProcessingState::processing(ProcessingStage::exporting), 0.965, "Exporting..."},
      {ProcessingState::completed({}), 1.0, "Transcription complete"},
      {ProcessingState::failed({"Boom", QString("long details")}), 0.0, "Error: Boom"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.status);
    EXPECT_NEAR(progressFor(row.state), row.progress, 1e-12);
    EXPECT_EQ(statusMessageFor(row.state), row.status);
  }
}

TEST(PipelineTablesTest, PresetsBecomeTheDiarizerClusteringSettings) {
  struct Row {
    DiarizationPreset preset;
    double threshold, fa, fb;
  };
  for (const Row& row : std::vector<Row>{{DiarizationPreset::autoDetect, 0.5, 0.07, 0.8},
                                         {DiarizationPreset::moreSpeakers, 0.3, 0.15, 0.6},
                                         {DiarizationPreset::balanced, 0.5, 0.07, 0.8},
                                         {DiarizationPreset::fewerSpeakers, 0.7, 0.05, 0.9},
                                         {DiarizationPreset::custom, 0.42, 0.07, 0.8}}) {
    SCOPED_TRACE(rawValue(row.preset).toStdString());
    const auto config = DiarizationSettings::fromPreset(row.preset, 0.42, 3, std::nullopt, 5).toOfflineConfig();
    EXPECT_EQ(config.clustering.threshold, row.threshold);
    EXPECT_EQ(config.clustering.warmStartFa, row.fa);
    EXPECT_EQ(config.clustering.warmStartFb, row.fb);
    EXPECT_EQ(config.clustering.numSpeakers, 3);
    EXPECT_EQ(config.clustering.minSpeakers, std::nullopt);
    EXPECT_EQ(config.clustering.maxSpeakers, 5);
    EXPECT_EQ(config.embedding.minSegmentDurationSeconds, 1.0);
    EXPECT_EQ(config.embedding.batchSize, 32);
    EXPECT_EQ(config.segmentation.stepRatio, 0.2);
    EXPECT_EQ(config.vbx.maxIterations, 20);
    EXPECT_EQ(config.postProcessing.minGapDurationSeconds, 0.1);
    EXPECT_FALSE(config.exportSettings.embeddingsPath.has_value());
    EXPECT_NO_THROW(config.validate());
  }
}

TEST(PipelineTablesTest, TranslationTabsAreEqualByTheirVersionsId) {
  Transcription a("German", 0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 12);
  Transcription b("French", 0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 12);
  const ContentTab tabA = ContentTab::translation(&a);
  EXPECT_EQ(ContentTab::original(), ContentTab());
  EXPECT_NE(ContentTab::original(), tabA);
  EXPECT_NE(tabA, ContentTab::translation(&b));
  EXPECT_EQ(tabA, ContentTab::translation(&a));
  EXPECT_EQ(qHash(tabA), qHash(ContentTab::translation(&a)));
  EXPECT_EQ(qHash(ContentTab::original()), qHash(QStringLiteral("original")));
  EXPECT_EQ(tabA.transcription(), &a);
}

TEST(PipelineTablesTest, EnhancementSettingsDescribeThemselvesAndRoundTrip) {
  AudioEnhancementSettings s;
  EXPECT_EQ(s.description(), "Off");
  s.enabled = true;
  EXPECT_EQ(s.description(), "Normalize, Compress");
  s.normalizeVolume = s.dynamicCompression = false;
  EXPECT_EQ(s.description(), "On");
  s.noiseReduction = true;
  EXPECT_EQ(s.description(), "Denoise");
  EXPECT_EQ(AudioEnhancementSettings::fromJson(s.toJson()), s);
  QJsonObject missing = s.toJson();
  missing.remove("noiseReductionStrength");
  EXPECT_FALSE(AudioEnhancementSettings::fromJson(missing).has_value());
  QJsonObject wrongType = s.toJson();
  wrongType["enabled"] = 1;
  EXPECT_FALSE(AudioEnhancementSettings::fromJson(wrongType).has_value());
}

TEST(PipelineTablesTest, FilterChainFollowsTheSwitches) {
  AudioEnhancementSettings s;
  EXPECT_EQ(enhancement::buildFilterChain(s),
            "highpass=f=80,compand=attacks=0.060:decays=0.3:points=-80/-80|-25/-25|-17/-12|0/-7|20/-7:gain=5,"
            "loudnorm=I=-16:TP=-1.5:LRA=11,alimiter=limit=0.95:attack=5:release=50");
  s.normalizeVolume = s.dynamicCompression = false;
  EXPECT_EQ(enhancement::buildFilterChain(s), "highpass=f=80,alimiter=limit=0.95:attack=5:release=50");
  s.noiseReduction = true;
  for (auto [strength, nr] : std::vector<std::pair<double, int>>{{0, 5}, {0.3, 14}, {0.5, 20}, {1, 35}}) {
    s.noiseReductionStrength = strength;
    EXPECT_TRUE(enhancement::buildFilterChain(s).contains(QString("afftdn=nr=%1:nf=-25,").arg(nr)));
  }
  s.noiseReduction = false;
  s.dynamicCompression = true;
  s.compressionStrength = 0;
  EXPECT_TRUE(enhancement::buildFilterChain(s).contains(
      "compand=attacks=0.100:decays=0.3:points=-80/-80|-30/-30|-20/-15|0/-7|20/-7:gain=3"));
  s.compressionStrength = 1;
  EXPECT_TRUE(enhancement::buildFilterChain(s).contains(
      "compand=attacks=0.020:decays=0.3:points=-80/-80|-20/-20|-15/-10|0/-7|20/-7:gain=8"));
}

TEST(PipelineTablesTest, DownloadTitlesBecomeSafeUniqueFileNames) {
  struct Row {
    QString title;
    QString expected;
  };
  for (const Row& row : std::vector<Row>{
           {"Part 1/2: Intro", "Part 1-2- Intro"},
           {"He said \"hi\"", "He said 'hi'"},
           {"  padded \n", "padded"},
           {"   ", downloadnaming::kFallbackTitle},
           {"..", downloadnaming::kFallbackTitle},
           {"bell\aand\ttab\nline", "bellandtabline"},
       }) {
    EXPECT_EQ(downloadnaming::safeTitle(row.title), row.expected) << row.title.toStdString();
  }
  const QString longTitle = QString("é").repeated(300);
  const QString cut = downloadnaming::safeTitle(longTitle);
  EXPECT_LE(cut.toUtf8().size(), downloadnaming::kMaxTitleBytes);
  EXPECT_EQ(cut, QString("é").repeated(100));

  testsupport::TempDir dir;
  const QString folder = QString::fromStdString(dir.path().string());
  const QString first = downloadnaming::uniqueDownloadPath(folder, "Talk", "m4a");
  EXPECT_EQ(QFileInfo(first).fileName(), "Talk.m4a");
  QFile(first).open(QIODevice::WriteOnly);
  const QString second = downloadnaming::uniqueDownloadPath(folder, "Talk", "m4a");
  EXPECT_EQ(QFileInfo(second).fileName(), "Talk (1).m4a");
  QFile(second).open(QIODevice::WriteOnly);
  EXPECT_EQ(QFileInfo(downloadnaming::uniqueDownloadPath(folder, "Talk", "m4a")).fileName(), "Talk (2).m4a");
  EXPECT_EQ(QFileInfo(downloadnaming::uniqueDownloadPath(folder, "Bare", "")).fileName(), "Bare.");
}

TEST(PipelineTablesTest, ToolErrorsAreCutToWhatAPersonReads) {
  const QString banner = "ffmpeg version 5.1 Copyright (c) 2000-2022\n" + QString(" configuration: --x").repeated(40);
  const QString warnings = QString("WARNING: retrying\n").repeated(100);
  struct Row {
    QString text;
    QString shown;
  };
  const Row rows[] = {
      {"Download failed: ERROR: short", "Download failed: ERROR: short"},
      {"Audio enhancement failed: " + banner + "\n/in/notes.wav: Invalid data found when processing input\n",
       "Audio enhancement failed: /in/notes.wav: Invalid data found when processing input"},
      {"Download failed: " + warnings + "ERROR: [generic] HTTP Error 404\nERROR: gave up\n",
       "Download failed: ERROR: [generic] HTTP Error 404\nERROR: gave up"},
      // A full disk, as ffmpeg says it: one line is read, not three.
      {"Audio enhancement failed: av_interleaved_write_frame(): No space left on device\n"
       "Error writing trailer of /tmp/e.wav: No space left on device\n"
       "Error closing file /tmp/e.wav: No space left on device\n",
       "Audio enhancement failed: Error closing file /tmp/e.wav: No space left on device"},
      {QString("x").repeated(600), QString::fromUtf8("\u2026") + QString("x").repeated(499)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shown.toStdString());
    EXPECT_EQ(condensedToolError(row.text), row.shown);
    EXPECT_LE(condensedToolError(row.text).size(), 500);
  }
}

TEST(PipelineTablesTest, LogNumbersAndTheCostNote) {
  EXPECT_EQ(shortestDouble(0.5), "0.5");
  EXPECT_EQ(shortestDouble(1), "1.0");
  EXPECT_EQ(shortestDouble(0.07), "0.07");
  EXPECT_EQ(formatFixed1(2.24), "2.2");
  EXPECT_EQ(formatFixed1(0), "0.0");
  EXPECT_EQ(countOrMinusOne(std::nullopt), "-1");
  EXPECT_EQ(countOrMinusOne(3), "3");

  TranslationResult result;
  result.provider = TranslationProviderType::openai;
  EXPECT_EQ(translationCostNote(result), "");
  result.inputTokens = 2000;
  EXPECT_EQ(translationCostNote(result), "");
  result.outputTokens = 1000;
  EXPECT_EQ(translationCostNote(result), QString::fromUtf8(" (≈$0.0009)"));
  result.provider = TranslationProviderType::claude;
  result.inputTokens = 4000;
  result.outputTokens = 2000;
  EXPECT_EQ(translationCostNote(result), QString::fromUtf8(" (≈$0.0035)"));
}

}  // namespace
