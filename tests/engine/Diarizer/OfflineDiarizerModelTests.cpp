#include "DiarizerTestSupport.h"

#include "Diarizer/Offline/Core/OfflineDiarizerModels.h"
#include "support/WrongInterfaceModels.h"

#include <gtest/gtest.h>

using namespace voxtrellis;
using namespace diarizertest;

namespace {

namespace fs = std::filesystem;

TEST(OfflineDiarizerModelClasses, ModelWithAWrongInputOrOutputNameFailsAtLoadNamingTheFile) {
  testsupport::expectInterfaceMismatches(
      modelsDirectory() / "broken",
      {
          {"SegmentationWrongInput", testsupport::loadsAs<OfflineSegmentationModel>(), "missing input \"audio\""},
          {"FBankWrongInput", testsupport::loadsAs<OfflineFbankModel>(), "missing input \"audio\""},
          {"FBankWrongOutput", testsupport::loadsAs<OfflineFbankModel>(), "missing output \"fbank_features\""},
          {"EmbeddingWrongInput", testsupport::loadsAs<OfflineEmbeddingModel>(), "missing input \"weights\""},
          {"EmbeddingWrongOutput", testsupport::loadsAs<OfflineEmbeddingModel>(), "missing output \"embedding\""},
          {"PldaRhoWrongInput", testsupport::loadsAs<PldaRhoModel>(), "missing input \"embeddings\""},
          {"PldaRhoWrongOutput", testsupport::loadsAs<PldaRhoModel>(), "missing output \"rho\""},
      });
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
