#include "DiarizerTestSupport.h"
#include "engine/Shared/LogCapture.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <voxtrellis/ModelFileError.h>
#include <voxtrellis/OfflineDiarizationError.h>
#include <voxtrellis/OfflineDiarizerManager.h>
#include <voxtrellis/StreamingAudioSampleSource.h>
#include <voxtrellis/WorkStopped.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stop_token>
#include <thread>

using namespace voxtrellis;
using namespace diarizertest;

namespace {

struct Turn {
  std::string speaker;
  double start, end;
};

void expectTurns(const DiarizationResult& result, const std::vector<Turn>& truth) {
  ASSERT_EQ(result.segments.size(), truth.size());
  for (std::size_t i = 0; i < truth.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(result.segments[i].speakerId, truth[i].speaker);
    EXPECT_NEAR(result.segments[i].startTimeSeconds, truth[i].start, 0.5);
    EXPECT_NEAR(result.segments[i].endTimeSeconds, truth[i].end, 0.5);
  }
}

// The later-starting voice loses the overlapped second.
const std::vector<Turn> kConversationTurns = {
    {"S1", 0, 6}, {"S2", 6, 12}, {"S1", 12, 18}, {"S2", 18, 22}, {"S1", 26, 32}};

int threadCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// A joined thread can stay listed under /proc/self/task for a moment after
// join() returns (the kernel reaps it after it wakes the joiner), so a count
// is read again until it settles at `expected` or two seconds pass.
int settledThreadCount(int expected) {
  int count = threadCount();
  for (int i = 0; i < 200 && count != expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    count = threadCount();
  }
  return count;
}

TEST(OfflineDiarizerPipeline, TwoAlternatingVoicesBecomeTwoSpeakers) {
  OfflineDiarizerManager manager;
  manager.initialize(loadModels());
  const auto result = manager.process(conversation());
  expectTurns(result, kConversationTurns);
  ASSERT_TRUE(result.speakerDatabase.has_value());
  EXPECT_EQ(result.speakerDatabase->size(), 2u);
  EXPECT_EQ(result.speakerDatabase->at("S1"), result.segments[0].embedding);
  ASSERT_TRUE(result.timings.has_value());
  EXPECT_EQ(result.timings->audioLoadingSeconds(), 0.0);
  EXPECT_EQ(result.timings->modelCompilationSeconds(), loadModels()->compilationDuration);
  EXPECT_DOUBLE_EQ(result.timings->totalInferenceSeconds(), result.timings->segmentationSeconds() +
                                                                result.timings->embeddingExtractionSeconds() +
                                                                result.timings->speakerClusteringSeconds());
}

TEST(OfflineDiarizerPipeline, OneVoiceIsOneSpeakerAndSilenceHasNoTurns) {
  OfflineDiarizerManager manager;
  manager.initialize(loadModels());
  auto audio = silence(25);
  addTone(audio, kToneB, 2, 9);
  addTone(audio, kToneB, 13, 24);
  expectTurns(manager.process(audio), {{"S1", 2, 9}, {"S1", 13, 24}});
  const auto quiet = manager.process(silence(20));
  EXPECT_TRUE(quiet.segments.empty());
  EXPECT_TRUE(quiet.speakerDatabase->empty());
  EXPECT_EQ(errorText([&] { manager.process(std::vector<float>{}); }), "No speech detected in audio");
}

TEST(OfflineDiarizerPipeline, SpeakerCountLimitsAreApplied) {
  OfflineDiarizerManager manager(OfflineDiarizerConfig{}.withSpeakers(1));
  manager.initialize(loadModels());
  const auto result = manager.process(conversation());
  // Both voices' turns come back, all as the one speaker asked for.
  ASSERT_GE(result.segments.size(), 2u);
  for (const auto& segment : result.segments) EXPECT_EQ(segment.speakerId, "S1");
  EXPECT_NEAR(result.segments.front().startTimeSeconds, 0.0, 0.5);
  EXPECT_NEAR(result.segments.back().endTimeSeconds, 32.0, 0.5);
  EXPECT_EQ(result.speakerDatabase->size(), 1u);
}

TEST(OfflineDiarizerPipeline, OtherWindowingAndBatchSettingsFindTheSameTurns) {
  struct Case {
    const char* name;
    std::function<void(OfflineDiarizerConfig&)> change;
  };
  const std::vector<Case> cases = {
      {"PLDA and FBANK one at a time", [](auto& c) { c.embedding.batchSize = 1; }},
      {"windows without overlap", [](auto& c) { c.segmentation.stepRatio = 1.0; }},
      {"dense windows", [](auto& c) { c.segmentation.stepRatio = 0.05; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OfflineDiarizerConfig config;
    c.change(config);
    OfflineDiarizerManager manager(config);
    manager.initialize(loadModels());
    expectTurns(manager.process(conversation()), kConversationTurns);
  }
  // Keeping overlaps: the second voice starts where it really does.
  OfflineDiarizerConfig keep;
  keep.embedding.excludeOverlap = false;
  OfflineDiarizerManager manager(keep);
  manager.initialize(loadModels());
  expectTurns(manager.process(conversation()),
              {{"S1", 0, 6}, {"S2", 6, 12}, {"S1", 12, 18}, {"S2", 17, 22}, {"S1", 26, 32}});
}

TEST(OfflineDiarizerPipeline, ModelAnsweringOneWindowAtATimeGivesTheSameTurns) {
  auto models = std::make_shared<OfflineDiarizerModels>(*loadModels());
  models->segmentationModel = OfflineSegmentationModel::load(brokenModel("SegmentationOneWindow"));
  OfflineDiarizerManager manager;
  manager.initialize(models);
  expectTurns(manager.process(conversation()), kConversationTurns);
}

TEST(OfflineDiarizerPipeline, DiskBackedFileLeavesNoTemporaryFile) {
  testsupport::TempDir dir;
  const auto raw = dir / "conversation.f32";
  const auto wav = dir / "conversation.wav";
  const auto audio = conversation();
  std::ofstream(raw, std::ios::binary)
      .write(reinterpret_cast<const char*>(audio.data()), static_cast<std::streamsize>(audio.size() * sizeof(float)));
  const std::string command =
      "ffmpeg -loglevel error -y -f f32le -ar 16000 -ac 1 -i '" + raw.string() + "' '" + wav.string() + "'";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "ffmpeg is not available";

  // The run's own temporary folder: other tests running meanwhile leave theirs elsewhere.
  const auto temporary = dir / "tmp";
  std::filesystem::create_directory(temporary);
  const testsupport::ScopedEnv tmpdir("TMPDIR", temporary.string());
  ASSERT_EQ(StreamingAudioSourceFactory::temporaryDirectory(), temporary);
  auto temporaryFiles = [&] {
    return std::distance(std::filesystem::directory_iterator(temporary), std::filesystem::directory_iterator());
  };
  OfflineDiarizerManager manager;
  manager.initialize(loadModels());
  const auto result = manager.process(wav);
  expectTurns(result, kConversationTurns);
  EXPECT_GT(result.timings->audioLoadingSeconds(), 0.0);
  EXPECT_EQ(temporaryFiles(), 0);

  // A run that fails after decoding removes its file too.
  auto broken = std::make_shared<OfflineDiarizerModels>(*loadModels());
  broken->embeddingModel = OfflineEmbeddingModel::load(brokenModel("EmbeddingShort"));
  manager.initialize(broken);
  EXPECT_THROW(manager.process(wav), OfflineDiarizationError);
  EXPECT_EQ(temporaryFiles(), 0);
  EXPECT_THROW(manager.process(dir / "missing.wav"), std::exception);
}

TEST(OfflineDiarizerPipeline, ExportWritesOneRecordPerEmbedding) {
  testsupport::TempDir dir;
  OfflineDiarizerConfig config;
  config.embeddingExportPath() = (dir / "embeddings.json").string();
  OfflineDiarizerManager manager(config);
  manager.initialize(loadModels());
  test::LogCapture log;
  const auto result = manager.process(conversation());
  std::ifstream in(dir / "embeddings.json");
  const auto records = nlohmann::ordered_json::parse(in);
  ASSERT_TRUE(records.is_array());
  ASSERT_FALSE(records.empty());
  // Keys in the record's field order, as written, not sorted.
  std::vector<std::string> keys;
  for (const auto& item : records.front().items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"chunkIndex", "speakerIndex", "startFrame", "endFrame", "startTime",
                                            "endTime", "embedding256", "rho128", "cluster"}));
  for (const auto& record : records) {
    EXPECT_EQ(record.at("embedding256").size(), 256u);
    EXPECT_EQ(record.at("rho128").size(), 128u);
    EXPECT_GE(record.at("cluster").get<int>(), 0);  // every embedding here holds a voice
    EXPECT_FALSE(record.contains("frameWeights"));
  }
  EXPECT_TRUE(log.contains(AppLogger::Level::info, "Exported " + std::to_string(records.size()) + " embeddings to "));
  // Only the export file is left: the temporary one was renamed over it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

TEST(OfflineDiarizerPipeline, FailedExportKeepsTheResult) {
  testsupport::TempDir dir;
  OfflineDiarizerConfig config;
  config.embeddingExportPath() = (dir / "no-such-folder" / "embeddings.json").string();
  OfflineDiarizerManager manager(config);
  manager.initialize(loadModels());
  test::LogCapture log;
  expectTurns(manager.process(conversation()), kConversationTurns);
  EXPECT_TRUE(log.contains(AppLogger::Level::error, "Embedding export failed: Failed to export data: "));
}

TEST(OfflineDiarizerPipeline, InvalidConfigurationFailsBeforeModelsAreTouched) {
  OfflineDiarizerConfig config;
  config.segmentation.stepRatio = 0;
  OfflineDiarizerManager manager(config);
  int loads = 0;
  manager.setModelLoader([&](const std::filesystem::path&) {
    ++loads;
    return loadModels();
  });
  EXPECT_EQ(errorText([&] { manager.process(conversation()); }),
            "Invalid configuration: segmentation.stepRatio must be within (0, 1], got 0.0");
  EXPECT_EQ(loads, 0);
}

// The loader fetches what is missing or does not load itself: its first error, which names the
// file, is the one reported, and the folder stays as it is.
TEST(OfflineDiarizerPipeline, PreparationLoadsOnceAndReportsTheFirstError) {
  testsupport::TempDir dir;
  std::filesystem::create_directories(dir / "speaker-diarization-onnx" / "mine");
  OfflineDiarizerManager manager;
  int loads = 0;
  manager.setModelLoader([&](const std::filesystem::path& directory) -> std::shared_ptr<const OfflineDiarizerModels> {
    EXPECT_EQ(directory, dir.path());
    if (++loads == 1) throw std::runtime_error("PldaRho.mlmodelc/model.onnx does not load");
    return loadModels();
  });
  test::LogCapture log;
  EXPECT_EQ(errorText([&] { manager.prepareModels(dir.path()); }), "PldaRho.mlmodelc/model.onnx does not load");
  EXPECT_EQ(loads, 1);
  EXPECT_FALSE(manager.hasModels());
  EXPECT_TRUE(std::filesystem::exists(dir / "speaker-diarization-onnx" / "mine"));
  EXPECT_TRUE(log.contains(AppLogger::Level::error,
                           "Offline diarizer model load failed: PldaRho.mlmodelc/model.onnx does not load"));
  manager.prepareModels(dir.path());
  EXPECT_TRUE(manager.hasModels());
  EXPECT_TRUE(log.contains(AppLogger::Level::debug, "Segmentation model prewarmed in "));
  EXPECT_TRUE(log.contains(AppLogger::Level::debug, "Embedding stack prewarmed in "));
  manager.prepareModels(dir.path());
  EXPECT_EQ(loads, 2);
  EXPECT_TRUE(log.contains(AppLogger::Level::debug, "Offline diarizer models already prepared; skipping load"));

  // A forced reload whose load fails keeps the old models and throws its error.
  manager.setModelLoader([&](const std::filesystem::path&) -> std::shared_ptr<const OfflineDiarizerModels> {
    throw std::runtime_error("attempt " + std::to_string(++loads));
  });
  EXPECT_EQ(errorText([&] { manager.prepareModels(dir.path(), true); }), "attempt 3");
  EXPECT_TRUE(manager.hasModels());
}

// A forced reload fetches a whole fresh copy beside the folder before it loads. With no hub to
// answer, every file in place is kept: good ones load as they are, and a damaged one is named.
TEST(OfflineDiarizerPipeline, AForcedReloadWithNoHubKeepsEveryFile) {
  testsupport::ScopedEnv closed("REGISTRY_URL", "http://127.0.0.1:9");
  testsupport::TempDir dir;
  const std::filesystem::path folder = dir / "speaker-diarization-onnx";
  std::filesystem::copy(modelsDirectory() / "speaker-diarization-onnx", folder,
                        std::filesystem::copy_options::recursive);
  const auto copied = testsupport::filesIn(folder);
  {
    OfflineDiarizerManager manager;
    test::LogCapture log;
    manager.prepareModels(dir.path(), true);
    EXPECT_TRUE(manager.hasModels());
    EXPECT_TRUE(
        log.contains(AppLogger::Level::warning,
                     "Failed to fetch a fresh copy of the diarizer models during forced reload: Failed to connect"));
    EXPECT_EQ(testsupport::filesIn(folder), copied);
  }
  const std::filesystem::path damaged = folder / "Embedding.mlmodelc" / "model.onnx";
  std::filesystem::resize_file(damaged, std::filesystem::file_size(damaged) / 2);
  const auto kept = testsupport::filesIn(folder);
  OfflineDiarizerManager manager;
  try {
    manager.prepareModels(dir.path(), true);
    ADD_FAILURE();
  } catch (const ModelFileError& e) {
    EXPECT_EQ(e.path(), damaged);
  }
  EXPECT_EQ(testsupport::filesIn(folder), kept);
}

TEST(OfflineDiarizerPipeline, ManagerWithoutModelsPreparesThemFirst) {
  OfflineDiarizerManager manager;
  manager.setModelLoader([](const std::filesystem::path&) { return std::shared_ptr<const OfflineDiarizerModels>(); });
  EXPECT_EQ(errorText([&] { manager.process(conversation()); }), "Model not loaded: offline-diarizer");
  manager.setModelLoader([](const std::filesystem::path&) { return loadModels(); });
  expectTurns(manager.process(conversation()), kConversationTurns);
}

TEST(OfflineDiarizerPipeline, PrewarmSkipsAWindowItCannotBuild) {
  // Only prepareModels sees this configuration (process would refuse it).
  OfflineDiarizerConfig config;
  config.segmentation.windowDurationSeconds = std::numeric_limits<double>::infinity();
  OfflineDiarizerManager manager(config);
  manager.setModelLoader([](const std::filesystem::path&) { return loadModels(); });
  test::LogCapture log;
  manager.prepareModels(std::filesystem::temp_directory_path());
  EXPECT_TRUE(manager.hasModels());
  EXPECT_TRUE(log.contains(AppLogger::Level::debug, "Segmentation prewarm skipped: "));
  EXPECT_TRUE(log.contains(AppLogger::Level::debug, "Embedding prewarm skipped: "));
}

// A source whose reads start failing after a number of calls.
class FailingSource final : public StreamingAudioSampleSource {
 public:
  FailingSource(std::vector<float> samples, int goodReads) : m_samples(std::move(samples)), m_goodReads(goodReads) {}
  int64_t sampleCount() const override { return static_cast<int64_t>(m_samples.size()); }
  void copySamples(float* destination, int64_t offset, int64_t count) const override {
    if (m_reads.fetch_add(1) >= m_goodReads) throw std::runtime_error("disk went away");
    ArrayAudioSampleSource(std::vector<float>(m_samples.begin() + offset, m_samples.begin() + offset + count))
        .copySamples(destination, 0, count);
  }

 private:
  std::vector<float> m_samples;
  int m_goodReads;
  mutable std::atomic<int> m_reads{0};
};

TEST(OfflineDiarizerPipeline, FailuresAndStopsEndBothStagesAndLeaveNoThread) {
  OfflineDiarizerManager manager;
  manager.initialize(loadModels());
  // Loaded first: the runtime gives every model its own worker threads.
  auto models = std::make_shared<OfflineDiarizerModels>(*loadModels());
  models->embeddingModel = OfflineEmbeddingModel::load(brokenModel("EmbeddingShort"));
  const int before = threadCount();
  auto long_ = silence(300);
  addTone(long_, kToneA, 0, 300);
  for (int goodReads : {0, 5, 40, 120}) {
    SCOPED_TRACE(goodReads);
    FailingSource source(long_, goodReads);
    EXPECT_EQ(errorText([&] { manager.process(source, 0); }), "disk went away");
    EXPECT_EQ(settledThreadCount(before), before);
  }
  // A stop asked for between two windows (the application quitting) ends the call as the
  // header promises, with WorkStopped, whichever stage's check saw the stop first.
  const ArrayAudioSampleSource source(long_);
  for (int windows : {1, 20}) {
    SCOPED_TRACE(windows);
    std::stop_source stop;
    int done = 0;
    const auto progress = [&](double) {
      if (++done == windows) stop.request_stop();
    };
    EXPECT_THROW(manager.process(source, 0, progress, stop.get_token()), WorkStopped);
    EXPECT_EQ(settledThreadCount(before), before);
  }
  // An embedding-stage failure ends segmentation too, and is the error reported.
  manager.initialize(models);
  EXPECT_EQ(errorText([&] { manager.process(long_); }),
            "Processing failed: Embedding model returned 200 values; expected 256");
  EXPECT_EQ(settledThreadCount(before), before);
}

}  // namespace
