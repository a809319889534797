#include "DiarizerTestSupport.h"

#include "Diarizer/Offline/Core/OfflineDiarizerModels.h"

#include <gtest/gtest.h>

#include <functional>

using namespace voxtrellis;
using namespace diarizertest;

namespace {

namespace fs = std::filesystem;

TEST(OfflineDiarizerModelClasses, ModelWithAWrongInputOrOutputNameFailsAtLoadNamingTheFile) {
  struct Case {
    const char* fixture;
    std::function<void(const fs::path&)> load;
    const char* detail;
  };
  const Case cases[] = {
      {"SegmentationWrongInput", [](const fs::path& f) { OfflineSegmentationModel::load(f); },
       "missing input \"audio\""},
      {"FBankWrongInput", [](const fs::path& f) { OfflineFbankModel::load(f); }, "missing input \"audio\""},
      {"FBankWrongOutput", [](const fs::path& f) { OfflineFbankModel::load(f); }, "missing output \"fbank_features\""},
      {"EmbeddingWrongInput", [](const fs::path& f) { OfflineEmbeddingModel::load(f); }, "missing input \"weights\""},
      {"EmbeddingWrongOutput", [](const fs::path& f) { OfflineEmbeddingModel::load(f); },
       "missing output \"embedding\""},
      {"PldaRhoWrongInput", [](const fs::path& f) { PldaRhoModel::load(f); }, "missing input \"embeddings\""},
      {"PldaRhoWrongOutput", [](const fs::path& f) { PldaRhoModel::load(f); }, "missing output \"rho\""},
  };
  for (const auto& c : cases) {
    try {
      c.load(brokenModel(c.fixture));
      ADD_FAILURE() << c.fixture << " was accepted";
    } catch (const ModelRuntimeError& e) {
      EXPECT_EQ(e.kind(), ModelRuntimeError::Kind::interfaceMismatch) << c.fixture;
      const std::string text = e.what();
      EXPECT_NE(text.find(std::string(c.fixture) + ".mlmodelc"), std::string::npos) << text;
      EXPECT_NE(text.find(c.detail), std::string::npos) << text;
    }
  }
}

TEST(OfflineDiarizerModelClasses, BundleWithAWrongModelFailsWhenItLoadsNotWhenItRuns) {
  // The repository's embedding model swapped for one whose output has another name.
  const auto loader = [](const std::vector<std::string>& names, const fs::path&, ComputeUnits units) {
    std::map<std::string, std::shared_ptr<OnnxModel>> models;
    for (const auto& name : names) {
      const fs::path folder = name == OfflineEmbeddingModel::fileName
                                  ? brokenModel("EmbeddingWrongOutput")
                                  : modelsDirectory() / "speaker-diarization-onnx" / name;
      models[name] = OnnxModel::load(folder, units);
    }
    return models;
  };
  try {
    OfflineDiarizerModels::load(modelsDirectory(), loader);
    FAIL() << "the bundle was accepted";
  } catch (const ModelRuntimeError& e) {
    EXPECT_EQ(e.kind(), ModelRuntimeError::Kind::interfaceMismatch);
    EXPECT_NE(std::string(e.what()).find("EmbeddingWrongOutput.mlmodelc"), std::string::npos) << e.what();
  }
}

}  // namespace
