#include "AsrTestSupport.h"
#include "FakeModelHub.h"
#include "Onnx/OrtEnvironment.h"
#include "engine/Shared/LogCapture.h"
#include "support/TempDir.h"

#include <voxtrellis/AsrModels.h>
#include <voxtrellis/FileSystemError.h>
#include <voxtrellis/ModelFileError.h>
#include <voxtrellis/ModelRegistry.h>
#include <voxtrellis/NetworkError.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>

using namespace voxtrellis;
namespace fs = std::filesystem;

namespace {

using asrtest::FakeModelHub;

fs::path copyFixture(const fs::path& root, AsrModelVersion version = AsrModelVersion::v3) {
  const fs::path target = root / AsrModels::folderName(version);
  fs::create_directories(root);
  fs::copy(asrtest::fixtureRepository(version), target, fs::copy_options::recursive);
  return target;
}

TEST(AsrModelsTest, CacheCheckIncludesTheVocabulary) {
  testsupport::TempDir dir;
  const fs::path repo = copyFixture(dir.path());
  EXPECT_TRUE(AsrModels::modelsExist(repo, AsrModelVersion::v3));
  EXPECT_TRUE(AsrModels::modelsExist(repo));
  fs::remove(repo / "parakeet_vocab.json");
  EXPECT_FALSE(AsrModels::modelsExist(repo, AsrModelVersion::v3));
  fs::remove_all(repo / "Decoder.mlmodelc");
  EXPECT_FALSE(AsrModels::modelsExist(repo, AsrModelVersion::v3));
}

TEST(AsrModelsTest, VersionIsInferredFromThePath) {
  EXPECT_EQ(AsrModels::inferredVersion("/x/PARAKEET-TDT-0.6B-V2-ONNX/y"), AsrModelVersion::v2);
  EXPECT_EQ(AsrModels::inferredVersion("/x/parakeet-tdt-0.6b-v3-onnx"), AsrModelVersion::v3);
  EXPECT_FALSE(AsrModels::inferredVersion("/x/other").has_value());
  EXPECT_EQ(AsrModels::defaultCacheDirectory().filename(), "parakeet-tdt-0.6b-v3-onnx");
  EXPECT_EQ(AsrModels::defaultCacheDirectory().parent_path().filename(), "Models");
}

TEST(AsrModelsTest, VocabularyReadingRules) {
  testsupport::TempDir dir;
  const fs::path repo = dir.path() / AsrModels::folderName(AsrModelVersion::v3);
  testsupport::writeFile(repo / "parakeet_vocab.json", R"({"5": "a", "x": "b", "-1": "c", "+7": "d", " 8": "e"})");
  EXPECT_EQ(AsrModels::loadVocabulary(repo, AsrModelVersion::v3),
            (std::map<int64_t, std::string>{{5, "a"}, {-1, "c"}, {7, "d"}}));

  testsupport::writeFile(repo / "parakeet_vocab.json", R"(["a", "b"])");
  EXPECT_TRUE(AsrModels::loadVocabulary(repo, AsrModelVersion::v3).empty());
  testsupport::writeFile(repo / "parakeet_vocab.json", R"({"1": "a", "2": 3})");
  EXPECT_TRUE(AsrModels::loadVocabulary(repo, AsrModelVersion::v3).empty());

  testsupport::writeFile(repo / "parakeet_vocab.json", "not json");
  try {
    AsrModels::loadVocabulary(repo, AsrModelVersion::v3);
    FAIL();
  } catch (const AsrModelsError& e) {
    EXPECT_EQ(e.code(), AsrModelsError::Code::loadingFailed);
    EXPECT_STREQ(e.what(), "Failed to load ASR models: Vocabulary parsing failed");
  }

  fs::remove(repo / "parakeet_vocab.json");
  try {
    AsrModels::loadVocabulary(repo, AsrModelVersion::v3);
    FAIL();
  } catch (const AsrModelsError& e) {
    EXPECT_EQ(e.code(), AsrModelsError::Code::modelNotFound);
    EXPECT_EQ(std::string(e.what()),
              "ASR model 'parakeet_vocab.json' not found at: " + (repo / "parakeet_vocab.json").string());
  }
}

TEST(AsrModelsTest, ErrorDescriptions) {
  EXPECT_STREQ(AsrModelsError::downloadFailed("x").what(), "Failed to download ASR models: x");
  EXPECT_STREQ(AsrModelsError::modelCompilationFailed("x").what(),
               "Failed to compile ASR models: x. Try deleting the models and re-downloading.");
}

TEST(AsrModelsTest, ConfigurationsAndTheCiSwitch) {
  EXPECT_EQ(AsrModels::defaultConfiguration().computeUnits, ComputeUnits::cpuAndNeuralEngine);
  ::setenv("CI", "", 1);
  EXPECT_EQ(AsrModels::optimizedConfiguration(true).computeUnits, ComputeUnits::cpuOnly);
  ::unsetenv("CI");
  const auto c = AsrModels::optimizedConfiguration(false);
  EXPECT_EQ(c.computeUnits, ComputeUnits::cpuAndNeuralEngine);
  EXPECT_FALSE(c.allowLowPrecisionAccumulationOnGPU);
}

TEST(AsrModelsTest, CompleteCacheIsUsedWithoutAnyRequest) {
  FakeModelHub hub;
  testsupport::TempDir dir;
  const fs::path repo = copyFixture(dir.path());
  EXPECT_EQ(AsrModels::download(repo, false, AsrModelVersion::v3), repo);
  EXPECT_TRUE(hub.requests().empty());

  const AsrModels m = AsrModels::load(repo, AsrModelConfiguration{ComputeUnits::cpuAndGPU, true});
  EXPECT_TRUE(m.preprocessor && m.encoder && m.decoder && m.joint);
  EXPECT_EQ(m.preprocessor->model().computeUnits(), ComputeUnits::cpuOnly);
  EXPECT_EQ(m.encoder->model().computeUnits(), ComputeUnits::cpuAndGPU);
  EXPECT_EQ(m.joint->model().computeUnits(), ComputeUnits::cpuAndGPU);
  EXPECT_EQ(m.vocabulary.at(7), "\xE2\x96\x81world");
  EXPECT_EQ(m.version, AsrModelVersion::v3);
  EXPECT_TRUE(hub.requests().empty());
}

// The app loads through here. The decoder and joint run once per token and
// per encoder frame: on pools of every core, spinning between thousands of
// tiny calls, they fight each other and the rest of the program; on pools of
// their own that sleep, every call waits for a worker to wake.
TEST(AsrModelsTest, TheDecodeLoopsModelsLoadWithTheLightThreadSetting) {
  FakeModelHub hub;
  testsupport::TempDir dir;
  const fs::path repo = copyFixture(dir.path());
  const AsrModels m = AsrModels::load(repo);
  const ComputeUnits units = AsrModels::defaultConfiguration().computeUnits;
  EXPECT_EQ(m.decoder->model().threadSettings(), threadSettings(units, ModelCost::perStep));
  EXPECT_EQ(m.joint->model().threadSettings(), threadSettings(units, ModelCost::perStep));
  EXPECT_EQ(m.joint->model().threadSettings().sharedPool, lightPoolThreads() > 1);
  EXPECT_EQ(m.encoder->model().threadSettings(), threadSettings(units, ModelCost::heavy));
  EXPECT_EQ(m.preprocessor->model().threadSettings(), threadSettings(ComputeUnits::cpuOnly, ModelCost::heavy));
}

TEST(AsrModelsTest, BareFolderNameLoadsFromTheCurrentFolder) {
  FakeModelHub hub;
  testsupport::TempDir dir;
  copyFixture(dir.path());
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  try {
    const fs::path bare = AsrModels::folderName(AsrModelVersion::v3);
    EXPECT_EQ(AsrModels::download(bare, false, AsrModelVersion::v3), bare);
    const AsrModels m = AsrModels::load(bare);
    EXPECT_TRUE(m.preprocessor && m.encoder && m.decoder && m.joint);
    EXPECT_FALSE(m.vocabulary.empty());
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  fs::current_path(previous);
  EXPECT_TRUE(hub.requests().empty());
}

TEST(AsrModelsTest, LoadLogsTheComputeUnitsOfEachFrontEndModel) {
  FakeModelHub hub;
  testsupport::TempDir dir;
  const fs::path repo = copyFixture(dir.path());
  struct Case {
    ComputeUnits units;
    std::string encoderLine;
  };
  for (const Case& c : {Case{ComputeUnits::cpuAndGPU, "Loaded Encoder.mlmodelc with compute units: cpuAndGPU"},
                        Case{static_cast<ComputeUnits>(7), "Loaded Encoder.mlmodelc with compute units: unknown(7)"}}) {
    voxtrellis::test::LogCapture log;
    AsrModels::load(repo, AsrModelConfiguration{c.units, true});
    EXPECT_TRUE(log.contains("Loaded Preprocessor.mlmodelc with compute units: cpuOnly"));
    EXPECT_TRUE(log.contains(c.encoderLine)) << c.encoderLine;
  }
}

TEST(AsrModelsTest, EmptyCacheIsDownloadedFromTheHubAndLoads) {
  FakeModelHub hub;
  testsupport::TempDir dir;
  const fs::path repo = dir.path() / "Models" / AsrModels::folderName(AsrModelVersion::v2);
  const AsrModels m = AsrModels::downloadAndLoad(repo, std::nullopt, AsrModelVersion::v2);
  EXPECT_TRUE(AsrModels::modelsExist(repo, AsrModelVersion::v2));
  EXPECT_EQ(m.version, AsrModelVersion::v2);
  EXPECT_FALSE(m.vocabulary.empty());
  EXPECT_TRUE(hub.requested("/parakeet_vocab.json"));
}

TEST(AsrModelsTest, CacheMissingOnlyTheVocabularyFetchesIt) {
  FakeModelHub hub;
  testsupport::TempDir dir;
  const fs::path repo = copyFixture(dir.path());
  fs::remove(repo / "parakeet_vocab.json");
  AsrModels::download(repo, false, AsrModelVersion::v3);
  EXPECT_TRUE(fs::exists(repo / "parakeet_vocab.json"));
  EXPECT_TRUE(hub.requested("/resolve/main/parakeet_vocab.json"));
  EXPECT_FALSE(AsrModels::load(repo).vocabulary.empty());
}

TEST(AsrModelsTest, AVocabularyThatDoesNotReadCountsAsMissingAndIsFetchedAgain) {
  FakeModelHub hub;
  const std::vector<std::pair<const char*, std::function<void(const fs::path&)>>> damages = {
      {"a transfer cut short", [](const fs::path& file) { testsupport::writeFile(file, R"({"0": "a", "1)"); }},
      {"a folder in its place",
       [](const fs::path& file) {
         fs::remove(file);
         testsupport::writeFile(file / "in-the-way", "x");
       }},
  };
  for (const auto& [damage, apply] : damages) {
    SCOPED_TRACE(damage);
    testsupport::TempDir dir;
    const fs::path repo = copyFixture(dir.path());
    apply(repo / "parakeet_vocab.json");
    EXPECT_FALSE(AsrModels::modelsExist(repo, AsrModelVersion::v3));
    AsrModels::download(repo, false, AsrModelVersion::v3);
    EXPECT_TRUE(hub.requested("/resolve/main/parakeet_vocab.json"));
    EXPECT_TRUE(AsrModels::modelsExist(repo, AsrModelVersion::v3));
    EXPECT_FALSE(AsrModels::load(repo).vocabulary.empty());
    for (const auto& entry : fs::directory_iterator(repo)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name.find(".part") == std::string::npos && name.find(".download-") == std::string::npos) << name;
    }
  }
}

// The version's folder is replaced only by a whole fresh copy that loads: a hub that does not
// answer, or answers with a copy that does not load, leaves every file, and the folder the caller
// named is never touched.
TEST(AsrModelsTest, ForcedDownloadReplacesOnlyTheVersionFolderAndOnlyWithAWholeCopy) {
  FakeModelHub hub;
  testsupport::TempDir dir;
  const fs::path repo = copyFixture(dir.path());
  testsupport::writeFile(repo / "stale.txt", "old");
  const fs::path callers = dir.path() / "MyRecordings";
  testsupport::writeFile(callers / "keep.wav", "precious");

  ModelRegistry::setBaseURL("http://127.0.0.1:9");
  EXPECT_THROW(AsrModels::download(callers, true, AsrModelVersion::v3), NetworkError);
  ModelRegistry::setBaseURL(hub.baseUrl());
  EXPECT_EQ(testsupport::readFile(repo / "stale.txt"), "old");
  EXPECT_TRUE(AsrModels::modelsExist(repo, AsrModelVersion::v3));

  hub.damage("/Encoder.mlmodelc/model.onnx");
  EXPECT_ANY_THROW(AsrModels::download(callers, true, AsrModelVersion::v3));
  hub.damage("");
  EXPECT_EQ(testsupport::readFile(repo / "stale.txt"), "old");
  EXPECT_TRUE(
      testsupport::readFile(repo / "Encoder.mlmodelc" / "model.onnx") ==
      testsupport::readFile(asrtest::fixtureRepository(AsrModelVersion::v3) / "Encoder.mlmodelc" / "model.onnx"));
  EXPECT_FALSE(fs::exists(dir.path() / ".parakeet-tdt-0.6b-v3-onnx.fresh"));

  EXPECT_EQ(AsrModels::download(callers, true, AsrModelVersion::v3), callers);
  EXPECT_EQ(testsupport::readFile(callers / "keep.wav"), "precious");
  EXPECT_FALSE(fs::exists(repo / "stale.txt"));
  EXPECT_TRUE(AsrModels::modelsExist(repo, AsrModelVersion::v3));
}

// A model that opens but has another interface (another revision's) fails the load like a
// damaged one, naming its file: with no hub it is kept and named; a hub's copy mends it.
TEST(AsrModelsTest, ModelWithTheWrongFeaturesFailsTheLoadNamingItsFileAndIsMendedLikeADamagedOne) {
  FakeModelHub hub;
  testsupport::TempDir dir;
  const fs::path repo = copyFixture(dir.path());
  const fs::path joint = repo / "JointDecision.mlmodelc" / "model.onnx";
  fs::copy_file(repo / "Decoder.mlmodelc" / "model.onnx", joint, fs::copy_options::overwrite_existing);
  const std::string wrong = testsupport::readFile(joint);
  ModelRegistry::setBaseURL("http://127.0.0.1:9");
  try {
    AsrModels::load(repo);
    ADD_FAILURE() << "a model of another interface was loaded";
  } catch (const ModelFileError& e) {
    EXPECT_EQ(e.path(), joint);
    const std::string text = e.what();
    EXPECT_NE(text.find("JointDecision.mlmodelc/model.onnx: missing input \"encoder_step\""), std::string::npos)
        << text;
  }
  ModelRegistry::setBaseURL(hub.baseUrl());
  EXPECT_TRUE(testsupport::readFile(joint) == wrong);
  EXPECT_NO_THROW(AsrModels::load(repo));
  EXPECT_TRUE(hub.requested("/resolve/main/JointDecision.mlmodelc/model.onnx"));
  EXPECT_TRUE(testsupport::readFile(joint) == testsupport::readFile(asrtest::fixtureRepository(AsrModelVersion::v3) /
                                                                    "JointDecision.mlmodelc" / "model.onnx"));
}

TEST(AsrModelsTest, ValidationLoadsEachModelOfTheDefaultCache) {
  testsupport::TempDir dir;
  const char* old = std::getenv("XDG_DATA_HOME");
  const std::string saved = old ? old : "";
  ::setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
  EXPECT_FALSE(AsrModels::isModelValid());
  const fs::path repo = copyFixture(dir.path() / "Voxtrellis" / "Models");
  EXPECT_EQ(AsrModels::defaultCacheDirectory(), repo);
  EXPECT_TRUE(AsrModels::isModelValid());
  testsupport::writeFile(repo / "JointDecision.mlmodelc" / "model.onnx", "broken");
  EXPECT_FALSE(AsrModels::isModelValid());
  if (old) {
    ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
}

}  // namespace
