#include "Diarizer/Offline/Core/OfflineReconstruction.h"

#include <gtest/gtest.h>

using namespace voxtrellis;

namespace {

// One chunk at offset 0 with `frames` frames of 0.1 s; `weights(f)` gives the
// three slot weights of frame f.
SegmentationOutput oneChunk(int frames, const std::function<std::vector<float>(int)>& weights) {
  SegmentationOutput seg;
  seg.numChunks = 1;
  seg.numFrames = frames;
  seg.numSpeakers = 3;
  seg.frameDuration = 0.1;
  seg.chunkOffsets = {0.0};
  seg.speakerWeights.resize(1);
  for (int f = 0; f < frames; ++f) seg.speakerWeights[0].push_back(weights(f));
  return seg;
}

TEST(OfflineReconstruction, RunOfFramesBecomesOneSegment) {
  const auto seg = oneChunk(40, [](int f) { return std::vector<float>{f >= 10 && f < 30 ? 1.0f : 0.0f, 0, 0}; });
  const auto segments = OfflineReconstruction(OfflineDiarizerConfig{}).buildSegments(seg, {{0, -2, -2}}, {{1.0, 2.0}});
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].speakerId, "S1");
  EXPECT_NEAR(segments[0].startTimeSeconds, 1.0, 1e-5);
  EXPECT_NEAR(segments[0].endTimeSeconds, 3.0, 1e-5);
  EXPECT_EQ(segments[0].embedding, (std::vector<float>{1.0f, 2.0f}));
  EXPECT_FLOAT_EQ(segments[0].qualityScore, 1.0f);
}

TEST(OfflineReconstruction, SpeakerCountRoundsHalvesToEven) {
  // Average weight sum 2.5 → 2 speakers; 1.5 → 2 speakers.
  for (float third : {0.5f, -0.5f}) {
    const auto seg = oneChunk(30, [&](int) { return std::vector<float>{1.0f, 1.0f, third}; });
    const auto segments = OfflineReconstruction(OfflineDiarizerConfig{}.withSpeakers(std::nullopt))
                              .buildSegments(seg, {{0, 1, 2}}, {{1.0}, {2.0}, {3.0}});
    OfflineDiarizerConfig keep;
    keep.embedding.excludeOverlap = false;
    const auto both = OfflineReconstruction(keep).buildSegments(seg, {{0, 1, 2}}, {{1.0}, {2.0}, {3.0}});
    ASSERT_EQ(both.size(), 2u) << third;
    EXPECT_EQ(both[0].speakerId == "S3" || both[1].speakerId == "S3", false);
    // With overlap removal the second one loses everything and is dropped.
    EXPECT_EQ(segments.size(), 1u);
  }
}

TEST(OfflineReconstruction, MergeGapsAndShortSegments) {
  std::vector<TimedSpeakerSegment> parts = {
      {"S1", {}, 0.0f, 2.0f, 1.0f}, {"S1", {}, 2.05f, 4.0f, 0.5f}, {"S1", {}, 5.0f, 7.0f, 1.0f}};
  const auto merged = OfflineReconstruction::mergeSegments(parts, 0.1);
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_FLOAT_EQ(merged[0].endTimeSeconds, 4.0f);
  EXPECT_NEAR(merged[0].qualityScore, (2.0 * 1.0 + 1.95 * 0.5) / 3.95, 1e-5);
  // Another speaker between two turns keeps them apart.
  const auto apart = OfflineReconstruction::mergeSegments(
      {{"S1", {}, 0.0f, 2.0f, 1.0f}, {"S2", {}, 2.0f, 2.02f, 1.0f}, {"S1", {}, 2.05f, 4.0f, 1.0f}}, 0.1);
  EXPECT_EQ(apart.size(), 3u);

  const OfflineReconstruction reconstruction{OfflineDiarizerConfig{}};
  const auto kept = reconstruction.sanitize({{"S1", {}, 0.0f, 0.9f, 1.0f}, {"S2", {}, 1.0f, 3.0f, 1.0f}});
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].speakerId, "S2");
}

TEST(OfflineReconstruction, OverlapGoesToTheEarlierSpeaker) {
  const OfflineReconstruction reconstruction{OfflineDiarizerConfig{}};
  const auto result = reconstruction.excludeOverlaps(
      {{"S1", {}, 0.0f, 4.0f, 1.0f}, {"S2", {}, 3.0f, 7.0f, 0.8f}, {"S1", {}, 6.5f, 7.2f, 1.0f}});
  ASSERT_EQ(result.size(), 2u);
  EXPECT_FLOAT_EQ(result[1].startTimeSeconds, 4.0f);
  EXPECT_NEAR(result[1].qualityScore, 0.8 * 3.0 / 4.0, 1e-6);
}

TEST(OfflineReconstruction, DegenerateInputAndDatabase) {
  const OfflineReconstruction reconstruction{OfflineDiarizerConfig{}};
  SegmentationOutput empty;
  EXPECT_TRUE(reconstruction.buildSegments(empty, {}, {}).empty());
  // No centroids: one cluster, only assignment 0 counts, empty embeddings.
  const auto seg = oneChunk(30, [](int) { return std::vector<float>{1.0f, 0, 0}; });
  const auto segments = reconstruction.buildSegments(seg, {{0, -2, -2}}, {});
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_TRUE(segments[0].embedding.empty());
  // A chunk without a grid row contributes speech but no activity: with no
  // cluster active anywhere there is no speaker to give it to.
  EXPECT_TRUE(reconstruction.buildSegments(seg, {}, {{1.0}}).empty());
  // A cluster active elsewhere still takes a frame where only speech counts.
  auto twoChunks = oneChunk(30, [](int) { return std::vector<float>{1.0f, 0, 0}; });
  twoChunks.numChunks = 2;
  twoChunks.chunkOffsets = {0.0, 3.0};
  twoChunks.speakerWeights.push_back(twoChunks.speakerWeights[0]);
  const auto carried = reconstruction.buildSegments(twoChunks, {{0, -2, -2}}, {{1.0}});
  ASSERT_EQ(carried.size(), 1u);
  EXPECT_NEAR(carried[0].endTimeSeconds, 6.0, 1e-5);
  EXPECT_NEAR(carried[0].qualityScore, 0.5, 1e-5);

  const auto database = OfflineReconstruction::buildSpeakerDatabase(
      {{"S1", {1, 3}, 0, 1, 1}, {"S1", {3, 5}, 2, 3, 1}, {"S2", {7}, 0, 1, 1}});
  EXPECT_EQ(database.at("S1"), (std::vector<float>{2, 4}));
  EXPECT_EQ(database.at("S2"), (std::vector<float>{7}));
  EXPECT_TRUE(OfflineReconstruction::buildSpeakerDatabase({}).empty());
}

}  // namespace
