#include <voxtrellis/ASRError.h>
#include <voxtrellis/RnntDecoder.h>

#include "Onnx/OnnxModel.h"
#include "engine/ASR/Streaming/EouTestSupport.h"

#include <gtest/gtest.h>

namespace voxtrellis::test {
namespace {

// Encoder frames of the generated models: (class, counter) per frame, laid
// out with padded strides so the decoder must follow them.
struct Frames {
  std::shared_ptr<std::vector<float>> memory;
  MLMultiArrayPtr array;
};
Frames frames(const std::vector<std::pair<float, float>>& perFrame) {
  const int64_t t = static_cast<int64_t>(perFrame.size());
  auto memory = std::make_shared<std::vector<float>>(static_cast<std::size_t>(2 * 16 + 16), -7.0f);
  for (int64_t i = 0; i < t; ++i) {
    (*memory)[i] = perFrame[i].first;        // channel 0 at stride 16
    (*memory)[16 + i] = perFrame[i].second;  // channel 1
  }
  auto array =
      std::make_shared<MLMultiArray>(memory->data(), std::vector<int64_t>{1, 2, t}, MLMultiArrayDataType::float32,
                                     std::vector<int64_t>{32, 16, 1}, memory, memory->size() * sizeof(float));
  return {memory, array};
}

std::unique_ptr<RnntDecoder> fixtureDecoder() {
  return std::make_unique<RnntDecoder>(OnnxModel::load(eouFolder() / "decoder.mlmodelc"),
                                       OnnxModel::load(eouFolder() / "joint_decision.mlmodelc"));
}

TEST(RnntDecoderTests, DecodesValidFramesUntilTheEndOfUtterance) {
  struct Case {
    const char* name;
    std::vector<std::pair<float, float>> frames;
    int skip;
    std::optional<int> valid;
    std::vector<int> tokens;
    bool eou;
  };
  const std::vector<Case> cases = {
      {"a word per new counter", {{1, 0}, {1, 0}, {1, 1}}, 0, std::nullopt, {100, 101}, false},
      {"end of utterance first", {{0, 0}, {1, 1}}, 0, std::nullopt, {}, true},
      {"end of utterance stops the chunk", {{1, 0}, {0, 0}, {1, 1}}, 0, std::nullopt, {100}, true},
      {"only the valid frames", {{1, 0}, {1, 1}, {1, 2}}, 0, 2, {100, 101}, false},
      {"valid beyond the frames", {{1, 0}, {1, 1}}, 0, 9, {100, 101}, false},
      {"skipped frames", {{1, 0}, {1, 1}, {1, 2}}, 1, std::nullopt, {101, 102}, false},
      {"nothing left after skipping", {{1, 0}, {1, 1}}, 2, std::nullopt, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoder = fixtureDecoder();
    const DecodeResult r = decoder->decodeWithEOU(*frames(c.frames).array, 0, c.skip, c.valid);
    EXPECT_EQ(r.tokenIds, c.tokens);
    EXPECT_EQ(r.eouDetected, c.eou);
    // Each emitted token advanced the state once; nothing else did.
    EXPECT_EQ(decoder->hiddenState()[0], static_cast<float>(c.tokens.size()));
    EXPECT_EQ(decoder->lastToken(), c.tokens.empty() ? 1026 : c.tokens.back());
  }
}

TEST(RnntDecoderTests, CarriesItsStateUntilReset) {
  auto decoder = fixtureDecoder();
  EXPECT_EQ(decoder->decode(*frames({{1, 0}}).array, 0, 0), std::vector<int>{100});
  EXPECT_TRUE(decoder->decode(*frames({{1, 0}}).array, 0, 0).empty()) << "the last token carried over";
  decoder->resetState();
  EXPECT_EQ(decoder->lastToken(), 1026);
  EXPECT_EQ(decoder->hiddenState()[0], 0.0f);
  EXPECT_EQ(decoder->decode(*frames({{1, 0}}).array, 0, 0), std::vector<int>{100});
}

TEST(RnntDecoderTests, AFailedChunkLeavesTheStateForARetry) {
  auto decoder = fixtureDecoder();
  // Two words, then a frame the joint network fails on.
  EXPECT_ANY_THROW(decoder->decodeWithEOU(*frames({{1, 1}, {1, 3}, {2, 4}}).array, 0, 0));
  EXPECT_EQ(decoder->lastToken(), 1026);
  EXPECT_EQ(decoder->hiddenState()[0], 0.0f);
  // Decoding the same words again gives each exactly once.
  EXPECT_EQ(decoder->decode(*frames({{1, 1}, {1, 3}}).array, 0, 0), (std::vector<int>{101, 103}));
  EXPECT_EQ(decoder->hiddenState()[0], 2.0f);
}

TEST(RnntDecoderTests, ChecksBothModelsWhenMade) {
  EXPECT_THROW(
      RnntDecoder(OnnxModel::load(eouFolder() / "decoder.mlmodelc"),
                  OnnxModel::load(testsupport::fixturesDir() / "streaming/eou-wrong-joint/joint_decision.mlmodelc")),
      ModelRuntimeError);
  // The joint network in the prediction network's place.
  EXPECT_THROW(RnntDecoder(OnnxModel::load(eouFolder() / "joint_decision.mlmodelc"),
                           OnnxModel::load(eouFolder() / "joint_decision.mlmodelc")),
               ModelRuntimeError);
  auto decoder = fixtureDecoder();
  MLMultiArray flat({1, 4}, MLMultiArrayDataType::float32);
  EXPECT_THROW(decoder->decodeWithEOU(flat, 0, 0), ASRError);
}

}  // namespace
}  // namespace voxtrellis::test
