#include <voxtrellis/AudioValidation.h>
#include <voxtrellis/DiarizerModels.h>

#include "Diarizer/Extraction/WeSpeakerEmbeddingModel.h"
#include "Diarizer/Segmentation/PyannoteSegmentationModel.h"
#include "Onnx/ModelRuntimeError.h"
#include "engine/Diarizer/StreamingDiarizerTestSupport.h"
#include "support/TempDir.h"
#include "support/WrongInterfaceModels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

using namespace voxtrellis;
using namespace streamtest;

TEST(StreamingDiarizerModels, ModelsWithAnotherInterfaceFailAtLoadNamingTheFile) {
  const auto segmentation = [](const std::filesystem::path& p) {
    PyannoteSegmentationModel::load(p, ComputeUnits::cpuOnly);
  };
  const auto embedding = [](const std::filesystem::path& p) {
    WeSpeakerEmbeddingModel::load(p, ComputeUnits::cpuOnly);
  };
  testsupport::expectInterfaceMismatches(fixtureDirectory() / "broken",
                                         {
                                             {"SegmentationWrongInput", segmentation, "missing input \"audio\""},
                                             {"SegmentationWrongOutput", segmentation, "missing output \"segments\""},
                                             {"EmbeddingWrongOutput", embedding, "missing output \"embedding\""},
                                         });
}

TEST(StreamingDiarizerModels, LoadsTheRepositoryThroughTheModelCache) {
  testsupport::TempDir dir;
  std::filesystem::copy(repositoryDirectory(), dir.path() / "speaker-diarization-onnx",
                        std::filesystem::copy_options::recursive);
  const auto models = DiarizerModels::download(dir.path() / "speaker-diarization-onnx");
  ASSERT_NE(models.segmentationModel, nullptr);
  ASSERT_NE(models.embeddingModel, nullptr);
  EXPECT_EQ(models.segmentationModel->model().name(), "pyannote_segmentation");
  EXPECT_GT(models.compilationDuration, 0.0);
  EXPECT_EQ(DiarizerModels::requiredModelNames(),
            (std::set<std::string>{"pyannote_segmentation.mlmodelc", "wespeaker_v2.mlmodelc"}));
  EXPECT_EQ(DiarizerModels::defaultModelsDirectory().filename(), "speaker-diarization-onnx");
}

TEST(StreamingDiarizerModels, TheCIVariableMovesTheModelsOffTheGraphicsUnits) {
  const char* saved = std::getenv("CI");
  const std::string kept = saved ? saved : "";
  setenv("CI", "", 1);
  EXPECT_EQ(DiarizerModels::defaultConfiguration().computeUnits, ComputeUnits::cpuAndNeuralEngine);
  unsetenv("CI");
  EXPECT_EQ(DiarizerModels::defaultConfiguration().computeUnits, ComputeUnits::all);
  if (saved) setenv("CI", kept.c_str(), 1);
}

TEST(AudioValidation, ReportsEveryIssueInOrder) {
  struct Case {
    std::vector<float> samples;
    std::vector<std::string> issues;
  };
  const Case cases[] = {
      {{}, {"Audio too short (minimum 1 second)", "No audio data", "Audio too quiet or silent"}},
      {std::vector<float>(15999, 0.5f), {"Audio too short (minimum 1 second)"}},
      {std::vector<float>(16000, 0.5f), {}},
      {std::vector<float>(16000, 0.0f), {"Audio too quiet or silent"}},
  };
  for (const auto& c : cases) {
    const auto result = AudioValidation::validateAudio(c.samples);
    EXPECT_EQ(result.issues, c.issues) << c.samples.size();
    EXPECT_EQ(result.isValid, c.issues.empty());
    EXPECT_FLOAT_EQ(result.durationSeconds, static_cast<float>(c.samples.size()) / 16000.0f);
  }
}

TEST(AudioValidation, EmbeddingsNeedMagnitudeAndFiniteValues) {
  EXPECT_FALSE(AudioValidation::validateEmbedding(std::vector<float>(256, 0.0f)));
  EXPECT_TRUE(AudioValidation::validateEmbedding(std::vector<float>(256, 1.0f)));
  EXPECT_FALSE(AudioValidation::validateEmbedding({}));
  for (float bad : {std::nanf(""), std::numeric_limits<float>::infinity()}) {
    std::vector<float> v(256, 1.0f);
    v[128] = bad;
    EXPECT_FALSE(AudioValidation::validateEmbedding(v));
  }
}
