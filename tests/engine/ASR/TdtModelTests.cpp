#include "ASR/TDT/TdtDecoderModel.h"
#include "ASR/TDT/TdtEncoderModel.h"
#include "ASR/TDT/TdtJointModel.h"
#include "ASR/TDT/TdtPreprocessorModel.h"
#include "AsrTestSupport.h"
#include "support/WrongInterfaceModels.h"

#include <gtest/gtest.h>

using namespace voxtrellis;

namespace {

TEST(TdtModels, ModelWithAWrongInputOrOutputNameFailsAtLoadNamingTheFile) {
  testsupport::expectInterfaceMismatches(
      testsupport::fixturesDir() / "asr" / "broken",
      {
          {"PreprocessorWrongInput", testsupport::loadsAs<TdtPreprocessorModel>(), "missing input \"audio_signal\""},
          {"EncoderWrongOutput", testsupport::loadsAs<TdtEncoderModel>(), "missing output \"encoder\""},
          {"EncoderWrongLengthOutput", testsupport::loadsAs<TdtEncoderModel>(), "missing output \"encoder_length\""},
          {"DecoderWrongInput", testsupport::loadsAs<TdtDecoderModel>(), "missing input \"targets\""},
          {"DecoderWrongOutput", testsupport::loadsAs<TdtDecoderModel>(), "missing output \"h_out\""},
          {"JointDecisionWrongInput", testsupport::loadsAs<TdtJointModel>(), "missing input \"encoder_step\""},
          {"JointDecisionWrongOutput", testsupport::loadsAs<TdtJointModel>(), "missing output \"token_id\""},
      });
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
