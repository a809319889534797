#include "ASR/ChunkProcessor.h"

#include <gtest/gtest.h>

using namespace voxtrellis;
using Token = ChunkProcessor::Token;

namespace {

const std::vector<float> kNoAudio;

TEST(ChunkProcessorTest, OverlapAndStrideAreWholeFrames) {
  struct Case {
    double overlapSeconds;
    int64_t overlap;
    int64_t stride;
  };
  for (const Case c :
       {Case{2.0, 32000, 207360}, Case{0.0, 0, 239360}, Case{10.0, 119040, 120320}, Case{0.05, 0, 239360}}) {
    ChunkProcessor p(kNoAudio, 16000, c.overlapSeconds);
    EXPECT_EQ(p.overlapSamples(), c.overlap) << c.overlapSeconds;
    EXPECT_EQ(p.strideSamples(), c.stride) << c.overlapSeconds;
  }
}

TEST(ChunkProcessorTest, AdjacentChunksWithoutOverlapAreConcatenated) {
  ChunkProcessor p(kNoAudio, 16000, 2.0);
  const std::vector<Token> left = {{1, 90, 0.5f}, {2, 100, 0.5f}};
  const std::vector<Token> right = {{3, 101, 0.5f}, {4, 110, 0.5f}};
  std::vector<Token> expected = left;
  expected.insert(expected.end(), right.begin(), right.end());
  EXPECT_EQ(p.mergeChunks(left, right), expected);
  EXPECT_EQ(p.mergeChunks({}, right), right);
  EXPECT_EQ(p.mergeChunks(left, {}), left);
}

TEST(ChunkProcessorTest, MatchedOverlapKeepsEveryTokenOnce) {
  ChunkProcessor p(kNoAudio, 16000, 2.0);
  const std::vector<Token> left = {{10, 150, 0.1f}, {11, 160, 0.1f}, {12, 170, 0.1f}, {13, 180, 0.1f}};
  const std::vector<Token> right = {{12, 170, 0.9f}, {13, 180, 0.9f}, {14, 190, 0.9f}, {15, 200, 0.9f}};
  const auto merged = p.mergeChunks(left, right);
  const std::vector<Token> expected = {{10, 150, 0.1f}, {11, 160, 0.1f}, {12, 170, 0.1f},
                                       {13, 180, 0.1f}, {14, 190, 0.9f}, {15, 200, 0.9f}};
  EXPECT_EQ(merged, expected);  // matched pairs keep the left chunk's token
}

TEST(ChunkProcessorTest, GapsBetweenMatchesKeepTheLongerSideAndTheLeftOnTies) {
  using IT = ChunkProcessor::IndexedToken;
  const std::vector<Token> left = {{1, 10, 0}, {2, 11, 0}, {3, 12, 0}, {9, 13, 0}};
  const std::vector<Token> right = {{1, 10, 1}, {7, 11, 1}, {8, 12, 1}, {9, 13, 1}};
  std::vector<IT> ol;
  std::vector<IT> orr;
  for (size_t i = 0; i < left.size(); ++i) ol.push_back({i, left[i], left[i].timestamp * 0.08, 0});
  for (size_t i = 0; i < right.size(); ++i) orr.push_back({i, right[i], right[i].timestamp * 0.08, 0});
  const ChunkProcessor::Pairs pairs = {{0, 0}, {3, 3}};
  const auto merged = ChunkProcessor::mergeUsingMatches(pairs, ol, orr, left, right);
  const std::vector<Token> expected = {{1, 10, 0}, {2, 11, 0}, {3, 12, 0}, {9, 13, 0}};
  EXPECT_EQ(merged, expected);

  const std::vector<Token> shortLeft = {{1, 10, 0}, {9, 13, 0}};
  std::vector<IT> sl = {{0, shortLeft[0], 0.8, 0}, {1, shortLeft[1], 1.04, 0}};
  const auto rightWins = ChunkProcessor::mergeUsingMatches({{0, 0}, {1, 3}}, sl, orr, shortLeft, right);
  const std::vector<Token> expectedRight = {{1, 10, 0}, {7, 11, 1}, {8, 12, 1}, {9, 13, 0}};
  EXPECT_EQ(rightWins, expectedRight);
}

TEST(ChunkProcessorTest, PairSearchesPreferTheFirstLongestRunAndFallBackToSubsequences) {
  using IT = ChunkProcessor::IndexedToken;
  auto list = [](std::vector<int64_t> ids) {
    std::vector<IT> out;
    for (size_t i = 0; i < ids.size(); ++i) out.push_back({i, {ids[i], static_cast<int64_t>(i), 0}, i * 0.08, 0});
    return out;
  };
  const auto l = list({1, 2, 3, 4, 5});
  const auto r = list({1, 2, 9, 3, 4, 5});
  EXPECT_EQ(ChunkProcessor::findBestContiguousPairs(l, r, 1.0), (ChunkProcessor::Pairs{{2, 3}, {3, 4}, {4, 5}}));
  EXPECT_EQ(ChunkProcessor::findLongestCommonSubsequencePairs(l, r, 1.0),
            (ChunkProcessor::Pairs{{0, 0}, {1, 1}, {2, 3}, {3, 4}, {4, 5}}));
  // Start times must be strictly closer than the tolerance.
  EXPECT_TRUE(ChunkProcessor::findBestContiguousPairs(l, r, 0.0).empty());

  // Ties: of two equally long runs the first found wins; the subsequence
  // walk-back steps along the right list when both ways keep the same length.
  EXPECT_EQ(ChunkProcessor::findBestContiguousPairs(list({1, 2, 7, 3, 4}), list({1, 2, 8, 3, 4}), 1.0),
            (ChunkProcessor::Pairs{{0, 0}, {1, 1}}));
  EXPECT_EQ(ChunkProcessor::findLongestCommonSubsequencePairs(list({1, 2}), list({2, 1}), 1.0),
            (ChunkProcessor::Pairs{{1, 0}}));
}

TEST(ChunkProcessorTest, MidpointCutKeepsATokenAtTheCutOnce) {
  ChunkProcessor p(kNoAudio, 16000, 2.0);
  // leftEnd = frame 105, rightStart = frame 95: the cut is frame 100.
  const std::vector<Token> left = {{1, 98, 0}, {2, 100, 0}, {3, 104, 0}};
  const std::vector<Token> right = {{9, 95, 1}, {2, 100, 1}, {4, 102, 1}};
  const std::vector<Token> expected = {{1, 98, 0}, {2, 100, 0}, {4, 102, 1}};
  EXPECT_EQ(p.mergeByMidpoint(left, right), expected);

  // A different token at the cut on the right is still kept.
  const std::vector<Token> other = {{9, 95, 1}, {5, 100, 1}};
  const std::vector<Token> left2 = {{1, 98, 0}, {2, 100, 0}, {3, 104, 0}};
  const auto merged = p.mergeByMidpoint(left2, other);
  ASSERT_EQ(merged.size(), 3u);
  EXPECT_EQ(merged.back().token, 5);

  // Two tokens on the cut frame (a zero-duration pair), recognised by both
  // chunks: each is kept once, whatever their order.
  const std::vector<Token> pairLeft = {{1, 98, 0}, {2, 100, 0}, {6, 100, 0}, {3, 104, 0}};
  const std::vector<Token> pairRight = {{9, 95, 1}, {2, 100, 1}, {6, 100, 1}, {4, 102, 1}};
  const std::vector<Token> pairExpected = {{1, 98, 0}, {2, 100, 0}, {6, 100, 0}, {4, 102, 1}};
  EXPECT_EQ(p.mergeByMidpoint(pairLeft, pairRight), pairExpected);
}

TEST(ChunkProcessorTest, UnmatchedSeamFallsBackToTheMidpoint) {
  ChunkProcessor p(kNoAudio, 16000, 2.0);
  const std::vector<Token> left = {{1, 96, 0}, {2, 98, 0}, {3, 104, 0}};
  const std::vector<Token> right = {{7, 95, 1}, {8, 101, 1}, {9, 103, 1}};
  const std::vector<Token> expected = {{1, 96, 0}, {2, 98, 0}, {8, 101, 1}, {9, 103, 1}};
  EXPECT_EQ(p.mergeChunks(left, right), expected);
}

}  // namespace
