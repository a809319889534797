#include "ASR/EncoderInput.h"

#include <voxtrellis/ASRError.h>

#include <gtest/gtest.h>

using namespace voxtrellis;

namespace {

Tensor one(float v) {
  return Tensor::fromValues<float>({1}, std::vector<float>{v});
}

TEST(EncoderInputTest, PreprocessorOutputIsPassedOnWhenItCoversEveryInput) {
  const NamedTensors out = {{"mel", one(1)}, {"mel_length", one(2)}, {"extra", one(3)}};
  const NamedTensors in = {{"audio_signal", one(4)}, {"audio_length", one(5)}};
  const NamedTensors features = prepareEncoderInput({"mel", "mel_length"}, out, in);
  EXPECT_EQ(features.size(), 3u);  // unchanged, extra feature included
}

TEST(EncoderInputTest, MissingNamesComeFromThePreprocessorInput) {
  const NamedTensors out = {{"mel", one(1)}};
  const NamedTensors in = {{"audio_signal", one(4)}, {"audio_length", one(5)}};
  const NamedTensors features = prepareEncoderInput({"mel", "audio_length"}, out, in);
  ASSERT_EQ(features.size(), 2u);
  EXPECT_EQ(features.at("audio_length").data<float>()[0], 5.0f);
}

TEST(EncoderInputTest, NameInNeitherProviderIsReportedWithBothSortedLists) {
  const NamedTensors out = {{"mel_length", one(2)}, {"mel", one(1)}};
  const NamedTensors in = {{"audio_signal", one(4)}, {"audio_length", one(5)}};
  try {
    prepareEncoderInput({"mel", "speaker"}, out, in);
    FAIL();
  } catch (const ASRError& e) {
    EXPECT_STREQ(e.what(),
                 "ASR processing failed: Missing required encoder input: speaker. Available inputs: mel, "
                 "mel_length, fallback inputs: audio_length, audio_signal");
  }
}

}  // namespace
