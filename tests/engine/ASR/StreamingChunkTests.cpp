#include "ASR/AsrManagerImpl.h"
#include "AsrTestSupport.h"

#include <voxtrellis/ASRError.h>
#include <voxtrellis/AsrManager.h>

#include <gtest/gtest.h>

using namespace voxtrellis;
using asrtest::FrameDecision;

namespace {

struct DedupCase {
  std::vector<int> previous;
  std::vector<int> current;
  std::vector<int> deduped;
  int removed;
};

TEST(DuplicateRemovalTest, DropsRepeatedEndOfThePreviousWindow) {
  auto manager = AsrManager::create();
  std::vector<int> longPrev;
  for (int i = 0; i < 30; ++i) longPrev.push_back(200 + i);
  std::vector<int> lateDup(25, 900);  // duplicate 3, 4 starts at index 21 >= boundarySearchFrames
  lateDup.insert(lateDup.end(), {3, 4, 7});
  std::vector<int> earlyDup(19, 900);  // ...and at index 19 it is still found
  earlyDup.insert(earlyDup.end(), {3, 4, 7});
  const std::vector<DedupCase> cases = {
      {{1, 10, 11, 12}, {11, 12, 13}, {13}, 2},
      {{1, 2, 7883}, {7883, 5, 6}, {5, 6}, 1},
      {{1, 2, 7883}, {7883, 2, 7883, 9}, {9}, 3},  // boundary token first, then exact overlap
      {{1, 2, 50}, {50, 60, 70}, {50, 60, 70}, 0},
      {{1, 2, 3, 4, 5}, {9, 3, 4, 7}, {7}, 3},
      {{1, 2, 3, 4, 5}, lateDup, lateDup, 0},
      {{1, 2, 3, 4, 5}, earlyDup, {7}, 21},
      {{}, {1, 2}, {1, 2}, 0},
      {{1, 2}, {}, {}, 0},
      {longPrev, {220, 221, 99}, {99}, 2},            // found within the last 15 previous tokens
      {longPrev, {213, 214, 99}, {213, 214, 99}, 0},  // older repeats are not searched
  };
  for (const auto& c : cases) {
    const auto r = AsrManagerImpl::of(*manager).removeDuplicateTokenSequence(c.previous, c.current, 12);
    EXPECT_EQ(r.deduped, c.deduped);
    EXPECT_EQ(r.removedCount, c.removed);
  }
}

TEST(DuplicateRemovalTest, BoundarySearchFramesBoundTheDuplicateSearchAndANegativeOneSearchesNothing) {
  // 3, 4 repeat the previous tokens from current start 0.
  const std::vector<int> previous = {1, 2, 3, 4, 5};
  const std::vector<int> current = {3, 4, 7};
  for (const auto& [frames, removed] : std::vector<std::pair<int, int>>{{-5, 0}, {0, 0}, {1, 2}, {20, 2}}) {
    ASRConfig config = ASRConfig::defaults();
    config.tdtConfig.boundarySearchFrames = frames;
    auto manager = AsrManager::create(config);
    const auto r = AsrManagerImpl::of(*manager).removeDuplicateTokenSequence(previous, current, 12);
    EXPECT_EQ(r.removedCount, removed) << frames;
  }
}

class StreamingChunkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_manager = AsrManager::create();
    m_manager->initialize(asrtest::fixtureModels());
    m_manager->resetDecoderState(AudioSource::microphone);
  }
  std::shared_ptr<AsrManager> m_manager;
};

TEST_F(StreamingChunkTest, CarriesTheSourceStateFromWindowToWindowAndDropsOverlap) {
  const auto first = asrtest::renderSpeech({{2, 5, 1}, {3, 6, 1}, {6, 7, 1}}, 16000);
  const auto r1 = AsrManagerImpl::of(*m_manager).transcribeStreamingChunk(first, AudioSource::microphone, {}, false);
  EXPECT_EQ(r1.tokens, (std::vector<int>{5, 6, 7}));
  EXPECT_EQ(r1.timestamps, (std::vector<int>{2, 3, 6}));
  EXPECT_EQ(r1.encoderSequenceLength, 14);  // 16 640 samples counted as audio
  const TdtDecoderState& stored = m_manager->decoderState(AudioSource::microphone);
  EXPECT_EQ(stored.lastToken, 7);
  EXPECT_EQ(stored.timeJump, 0);
  EXPECT_FALSE(m_manager->decoderState(AudioSource::system).lastToken.has_value());

  // The next window repeats "lo world" at its start; the carried jump of 0
  // starts it at frame 25.
  const auto second = asrtest::renderSpeech({{26, 6, 1}, {27, 7, 1}, {30, 100, 1}}, 48000);
  const auto r2 =
      AsrManagerImpl::of(*m_manager).transcribeStreamingChunk(second, AudioSource::microphone, r1.tokens, false);
  EXPECT_EQ(r2.tokens, std::vector<int>{100});
  EXPECT_EQ(r2.timestamps, std::vector<int>{30});
  EXPECT_EQ(r2.confidences.size(), 1u);
}

TEST_F(StreamingChunkTest, FailedWindowLeavesTheStoredStateAsItWas) {
  const auto first = asrtest::renderSpeech({{2, 5, 1}, {3, 6, 1}}, 16000);
  AsrManagerImpl::of(*m_manager).transcribeStreamingChunk(first, AudioSource::microphone, {}, false);
  const TdtDecoderState before = m_manager->decoderState(AudioSource::microphone);

  // Two emissions advance the decoder, then a bin it cannot map.
  const auto broken = asrtest::renderSpeech({{26, 100, 1}, {27, 101, 1}, {29, 7, 5}}, 48000);
  EXPECT_THROW(AsrManagerImpl::of(*m_manager).transcribeStreamingChunk(broken, AudioSource::microphone, {5, 6}, false),
               ASRError);
  EXPECT_EQ(m_manager->decoderState(AudioSource::microphone), before);
}

TEST_F(StreamingChunkTest, NeedsModels) {
  auto bare = AsrManager::create();
  const std::vector<float> chunk(16000, 0.0f);
  EXPECT_THROW(AsrManagerImpl::of(*bare).transcribeStreamingChunk(chunk, AudioSource::system, {}, false), ASRError);
}

}  // namespace
