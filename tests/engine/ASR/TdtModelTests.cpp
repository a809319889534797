#include "ASR/TDT/TdtDecoderModel.h"
#include "ASR/TDT/TdtEncoderModel.h"
#include "ASR/TDT/TdtJointModel.h"
#include "ASR/TDT/TdtPreprocessorModel.h"
#include "AsrTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace voxtrellis;

namespace {

namespace fs = std::filesystem;

fs::path brokenModel(const std::string& name) {
  return testsupport::fixturesDir() / "asr" / "broken" / (name + ".mlmodelc");
}

TEST(TdtModels, ModelWithAWrongInputOrOutputNameFailsAtLoadNamingTheFile) {
  struct Case {
    const char* fixture;
    std::function<void(const fs::path&)> load;
    const char* detail;
  };
  const Case cases[] = {
      {"PreprocessorWrongInput", [](const fs::path& f) { TdtPreprocessorModel::load(f); },
       "missing input \"audio_signal\""},
      {"EncoderWrongOutput", [](const fs::path& f) { TdtEncoderModel::load(f); }, "missing output \"encoder\""},
      {"EncoderWrongLengthOutput", [](const fs::path& f) { TdtEncoderModel::load(f); },
       "missing output \"encoder_length\""},
      {"DecoderWrongInput", [](const fs::path& f) { TdtDecoderModel::load(f); }, "missing input \"targets\""},
      {"DecoderWrongOutput", [](const fs::path& f) { TdtDecoderModel::load(f); }, "missing output \"h_out\""},
      {"JointDecisionWrongInput", [](const fs::path& f) { TdtJointModel::load(f); }, "missing input \"encoder_step\""},
      {"JointDecisionWrongOutput", [](const fs::path& f) { TdtJointModel::load(f); }, "missing output \"token_id\""},
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

TEST(TdtModels, TheRecognisersOwnModelsLoadWithTheirDeclaredIntegerWidths) {
  const auto repo = asrtest::fixtureRepository();
  const auto preprocessor = TdtPreprocessorModel::load(repo / TdtPreprocessorModel::fileName);
  const NamedTensors input = preprocessor->makeInput(Tensor::zeros(ElementType::float32, {1, 1600}), 1280);
  ASSERT_EQ(input.at("audio_length").type(), ElementType::int32);  // as the fixture declares it
  EXPECT_EQ(input.at("audio_length").data<int32_t>()[0], 1280);

  const auto encoder = TdtEncoderModel::load(repo / TdtEncoderModel::fileName);
  EXPECT_EQ(encoder->inputNames(), (std::vector<std::string>{"mel", "mel_length"}));
  const TdtEncoderModel::Output out = encoder->predict(preprocessor->predict(input));
  EXPECT_EQ(out.encoderLength, 2);  // 1280 samples: 9 hops, 2 encoder frames
  EXPECT_EQ(out.encoder.shape()[1], 1024);
}

}  // namespace
