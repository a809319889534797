#include <voxtrellis/DiarizerError.h>

#include "Diarizer/Extraction/EmbeddingExtractor.h"
#include "Diarizer/Segmentation/SegmentationProcessor.h"
#include "engine/Diarizer/StreamingDiarizerTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace voxtrellis;
using namespace streamtest;

namespace {

std::vector<float> column(const std::vector<std::vector<float>>& frames, std::size_t slot) {
  std::vector<float> values;
  for (const auto& f : frames) values.push_back(f[slot]);
  return values;
}

}  // namespace

TEST(StreamingSegmentation, PowersetClassesMapToSlots) {
  const std::vector<std::vector<int>> expected = {{}, {0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}};
  for (int k = 0; k < 7; ++k) EXPECT_EQ(SegmentationProcessor::slotsOfClass(k), expected[static_cast<std::size_t>(k)]);
}

TEST(StreamingSegmentation, EachVoiceLightsItsOwnSlotAndOverlapLightsBoth) {
  auto audio = silence(10);
  addTone(audio, kVoiceA, 0, 4);
  addTone(audio, kVoiceB, 3, 7);
  SegmentationProcessor processor;
  const auto segments = processor.getSegments(audio, *loadModels().segmentationModel, 160000);
  ASSERT_EQ(segments.size(), 1u);
  const auto& frames = segments[0];
  ASSERT_EQ(frames.size(), 589u);
  auto at = [&](double seconds) { return frames[static_cast<std::size_t>(seconds / 0.016875)]; };
  EXPECT_EQ(at(1.0), (std::vector<float>{1, 0, 0}));
  EXPECT_EQ(at(3.5), (std::vector<float>{1, 1, 0}));
  EXPECT_EQ(at(5.0), (std::vector<float>{0, 1, 0}));
  EXPECT_EQ(at(8.0), (std::vector<float>{0, 0, 0}));
  // The slot stays silent throughout.
  for (const auto& f : frames) EXPECT_EQ(f[2], 0.0f);
}

TEST(StreamingSegmentation, AModelWithTooFewClassesIsAnErrorNotAnOverread) {
  const auto model = PyannoteSegmentationModel::load(brokenModel("SegmentationFiveClasses"), ComputeUnits::cpuOnly);
  SegmentationProcessor processor;
  try {
    processor.getSegments(silence(10), *model, 160000);
    ADD_FAILURE() << "five classes were accepted";
  } catch (const DiarizerError& e) {
    EXPECT_EQ(e.code(), DiarizerError::Code::processingFailed);
  }
}

TEST(StreamingEmbeddings, SilentSlotsGetZerosAndVoicesTheirOwnDirection) {
  auto audio = silence(10);
  addTone(audio, kVoiceA, 0, 4);
  addTone(audio, kVoiceB, 5, 9);
  SegmentationProcessor processor;
  const auto frames = processor.getSegments(audio, *loadModels().segmentationModel, 160000)[0];
  EmbeddingExtractor extractor(loadModels().embeddingModel);
  const auto embeddings = extractor.getEmbeddings(audio, {column(frames, 0), column(frames, 1), column(frames, 2)}, 10);
  ASSERT_EQ(embeddings.size(), 3u);
  EXPECT_EQ(embeddings[2], std::vector<float>(256, 0.0f));
  EXPECT_NEAR(cosine(embeddings[0], embeddings[1]), 0.0f, 1e-3);

  // Five seconds of voice A are repeated to fill the window, and so is the
  // first half of the mask: the vector is voice A's.
  auto half = silence(5);
  addTone(half, kVoiceA, 0, 5);
  std::vector<float> mask(589, 0.0f);
  for (std::size_t f = 0; f < 295; ++f) mask[f] = 1.0f;
  const auto tiled = extractor.getEmbeddings(half, {mask}, 10);
  EXPECT_NEAR(cosine(tiled[0], embeddings[0]), 1.0f, 1e-3);
}

TEST(StreamingEmbeddings, UnusableInputAndShortOutputAreErrorsNotHangsOrOverreads) {
  std::vector<float> mask(589, 1.0f);
  EmbeddingExtractor extractor(loadModels().embeddingModel);
  // 100 samples cover no frame: there is nothing to repeat into the mask.
  EXPECT_THROW(extractor.getEmbeddings(std::vector<float>(100, 0.1f), {mask}, 10), DiarizerError);
  EXPECT_TRUE(extractor.getEmbeddings(silence(10), {}, 10).empty());

  auto audio = silence(10);
  addTone(audio, kVoiceA, 0, 10);
  EmbeddingExtractor shortOutput(WeSpeakerEmbeddingModel::load(brokenModel("EmbeddingShort"), ComputeUnits::cpuOnly));
  EXPECT_THROW(shortOutput.getEmbeddings(audio, {mask}, 10), DiarizerError);
}
