#include "engine/Models/FakeHub.h"
#include "engine/VAD/VadTestSupport.h"
#include "support/TempDir.h"

#include <voxtrellis/ModelFileError.h>
#include <voxtrellis/ModelRegistry.h>

#include "Onnx/ModelRuntimeError.h"
#include "Onnx/OrtEnvironment.h"
#include "engine/Shared/LogCapture.h"
#include "engine/Shared/ScopedNumericLocale.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <numeric>
#include <regex>

namespace voxtrellis::test {
namespace {

namespace fs = std::filesystem;

TEST(VadManagerTests, BringsEveryChunkToExactly4096SamplesBeforeTheModel) {
  auto vad = fixtureVad();
  struct Case {
    const char* name;
    std::vector<float> chunk;
    float probability;
    float lastContext;
  };
  std::vector<float> longChunk(5000, 0.9f);
  std::fill(longChunk.begin(), longChunk.begin() + 4096, 0.25f);
  std::vector<float> shortChunk(100, 0.0f);
  shortChunk.back() = 0.5f;
  const std::vector<Case> cases = {
      {"exact", std::vector<float>(4096, 0.75f), 0.75f, 0.75f},
      {"longer keeps its start", longChunk, 0.25f, 0.25f},
      // 99 zeros, then the last sample 0.5 repeated 3997 times.
      {"shorter repeats its last sample", shortChunk, 0.5f * 3997 / 4096, 0.5f},
      {"empty is silence", {}, 0.0f, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VadResult r = vad->processChunk(c.chunk);
    EXPECT_NEAR(r.probability, c.probability, 1e-5);
    ASSERT_EQ(r.outputState.context.size(), 64u);
    EXPECT_EQ(r.outputState.context.back(), c.lastContext);
    EXPECT_EQ(r.outputState.context.front(), c.lastContext);
    ASSERT_EQ(r.outputState.hiddenState.size(), 128u);
    EXPECT_EQ(r.outputState.hiddenState[0], 1.0f) << "a missing input state is the initial one";
  }
}

TEST(VadManagerTests, CarriesStateAndContextFromChunkToChunk) {
  auto vad = fixtureVad();
  std::vector<float> samples = levels({0.1f, 0.9f, 0.3f});
  samples.push_back(0.6f);  // 4097th sample of the last chunk: one real sample repeated
  const std::vector<VadResult> results = vad->processAudioSamples(samples);
  ASSERT_EQ(results.size(), 4u);
  EXPECT_NEAR(results[3].probability, 0.6f, 1e-4);
  for (std::size_t k = 0; k < results.size(); ++k) {
    EXPECT_EQ(results[k].outputState.hiddenState[127], static_cast<float>(k + 1)) << "chunk " << k;
  }
  // The cell state is the mean of the context the model saw: the previous chunk's end.
  EXPECT_EQ(results[0].outputState.cellState[0], 0.0f);
  EXPECT_NEAR(results[1].outputState.cellState[0], 0.1f, 1e-6);
  EXPECT_NEAR(results[2].outputState.cellState[0], 0.9f, 1e-6);
  EXPECT_TRUE(vad->processAudioSamples({}).empty());
}

TEST(VadManagerTests, CountsAProbabilityEqualToTheThresholdAsVoice) {
  auto vad = fixtureVad(0.5f);
  EXPECT_TRUE(vad->processChunk(std::vector<float>(4096, 0.5f)).isVoiceActive);
  EXPECT_FALSE(vad->processChunk(std::vector<float>(4096, 0.25f)).isVoiceActive);
}

// A hub's copy whose model has another interface does not take the place of the user's folder:
// the damaged model stays as it was and is named; a copy that loads mends it.
TEST(VadManagerTests, AHubsCopyOfAnotherInterfaceNeverTakesTheFolder) {
  testsupport::TempDir dir;
  const fs::path folder = dir.path() / "Models" / "silero-vad-onnx";
  fs::create_directories(folder.parent_path());
  fs::copy(vadBaseFolder() / "Models" / "silero-vad-onnx", folder, fs::copy_options::recursive);
  const fs::path model = folder / "silero-vad-unified-256ms-v6.0.0.mlmodelc" / "model.onnx";
  const std::string good = testsupport::readFile(model);
  fs::resize_file(model, fs::file_size(model) / 2);
  const std::string damaged = testsupport::readFile(model);
  FakeHub hub;
  const std::string served = "silero-vad-unified-256ms-v6.0.0.mlmodelc/model.onnx";
  hub.addFile("Quillbrookline/silero-vad-onnx", served,
              testsupport::readFile(vadFixture("vad-wrong-input") / "model.onnx"));
  struct HubNamed {
    explicit HubNamed(const std::string& url) { ModelRegistry::setBaseURL(url); }
    ~HubNamed() { ModelRegistry::setBaseURL(before); }
    const std::string before = ModelRegistry::baseURL();
  } named(hub.baseUrl());
  try {
    VadManager vad(VadConfig{}, dir.path());
    ADD_FAILURE() << "a damaged model loaded";
  } catch (const ModelFileError& e) {
    EXPECT_EQ(e.path(), model);
    EXPECT_NE(std::string(e.what()).find("missing input \"audio_input\""), std::string::npos) << e.what();
  }
  EXPECT_TRUE(testsupport::readFile(model) == damaged);
  EXPECT_FALSE(fs::exists(dir.path() / "Models" / ".silero-vad-onnx.fresh"));

  hub.addFile("Quillbrookline/silero-vad-onnx", served, good);
  VadManager vad(VadConfig{}, dir.path());
  EXPECT_TRUE(testsupport::readFile(model) == good);
  EXPECT_NEAR(vad.processChunk(std::vector<float>(4096, 0.5f)).probability, 0.5f, 1e-6);
}

TEST(VadManagerTests, ChecksTheModelInterfaceWhenItLoads) {
  try {
    VadManager vad(VadConfig{}, OnnxModel::load(vadFixture("vad-wrong-input")));
    FAIL() << "a model without audio_input loaded";
  } catch (const ModelRuntimeError& e) {
    EXPECT_EQ(e.kind(), ModelRuntimeError::Kind::interfaceMismatch);
    EXPECT_NE(std::string(e.what()).find("model.onnx"), std::string::npos);
  }
  // Decorated output names are found by what they contain.
  VadManager renamed(VadConfig{}, OnnxModel::load(vadFixture("vad-renamed-outputs")));
  const VadResult r = renamed.processChunk(std::vector<float>(4096, 0.5f));
  EXPECT_NEAR(r.probability, 0.5f, 1e-6);
  EXPECT_EQ(r.outputState.hiddenState[0], 1.0f);
}

TEST(VadManagerTests, ReportsAShortStateOutputInsteadOfReadingPastIt) {
  VadManager vad(VadConfig{}, OnnxModel::load(vadFixture("vad-short-state")));
  try {
    vad.processChunk(std::vector<float>(4096, 0.5f));
    FAIL() << "a 64-value state was taken for 128";
  } catch (const VadError& e) {
    EXPECT_EQ(e.code(), VadError::Code::modelProcessingFailed);
    EXPECT_EQ(std::string(e.what()).rfind("Model processing failed: ", 0), 0u);
  }
}

// One small recurrent step per chunk, thousands per hour of audio: a pool
// of every core spinning between the steps only slows them down, and a pool
// of its own would wake a worker for every step. It runs on the pool the
// per-step models share, so loading it starts no thread.
TEST(VadManagerTests, LoadsItsModelThroughTheCacheWithTheLightThreadSetting) {
  ortEnvironment();  // the shared pool's worker is the process's, not the detector's
  const auto threadCount = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); };
  const auto threadsBefore = threadCount();
  std::vector<ThreadSettings> opened;
  OnnxModel::setLoadObserver([&](const OnnxModel& model) { opened.push_back(model.threadSettings()); });
  struct StopObserving {
    ~StopObserving() { OnnxModel::setLoadObserver({}); }
  } stop;
  const auto vad = fixtureVad();
  ASSERT_TRUE(vad->isAvailable());
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], threadSettings(VadConfig{}.computeUnits, ModelCost::perStep));
  EXPECT_LE(threadCount(), threadsBefore);
}

TEST(VadManagerTests, LogsItsStartUpTimeWithAFullStopUnderADecimalCommaLocale) {
  ScopedNumericLocale german("de_DE.UTF-8");
  if (!german.active()) GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (tools/install-deps generates it)";
  LogCapture log;
  fixtureVad();
  const auto messages = log.messages("VadManager");
  const auto line = std::find_if(messages.begin(), messages.end(),
                                 [](const std::string& m) { return m.rfind("VAD system initialized in ", 0) == 0; });
  ASSERT_NE(line, messages.end());
  EXPECT_TRUE(std::regex_match(*line, std::regex(R"(VAD system initialized in \d+\.\d\ds)"))) << *line;
}

TEST(VadManagerTests, ADetectorWithoutAModelRefusesToProcess) {
  VadManager vad(VadConfig{}, std::shared_ptr<OnnxModel>());
  EXPECT_FALSE(vad.isAvailable());
  try {
    vad.processChunk(std::vector<float>(10, 0.0f));
    FAIL();
  } catch (const VadError& e) {
    EXPECT_EQ(e.code(), VadError::Code::notInitialized);
    EXPECT_STREQ(e.what(), "VAD system not initialized");
  }
}

TEST(VadManagerTests, ConvertsABufferOfAnotherRateBeforeDetecting) {
  auto vad = fixtureVad();
  // One second of a 0.95 level at 32 kHz: speech at 16 kHz.
  AudioPCMBuffer buffer = AudioPCMBuffer::fromChannels(32000.0, {std::vector<float>(32000, 0.95f)});
  const std::vector<VadResult> results = vad->process(buffer);
  ASSERT_EQ(results.size(), 4u);  // 16000 samples
  EXPECT_TRUE(results[1].isVoiceActive);
}

}  // namespace
}  // namespace voxtrellis::test
