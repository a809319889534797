#include "ASR/AsrManagerImpl.h"
#include "AsrTestSupport.h"

#include <voxtrellis/AsrManager.h>

#include <gtest/gtest.h>

using namespace voxtrellis;

namespace {

// A recogniser whose vocabulary is 5 ▁hel, 6 lo, 7 ▁world (no models needed).
std::shared_ptr<AsrManager> managerWithVocabulary() {
  auto manager = AsrManager::create();
  AsrModels m;
  m.vocabulary = {{5, "\xE2\x96\x81hel"}, {6, "lo"}, {7, "\xE2\x96\x81world"}, {8, ""}};
  manager->initialize(m);
  return manager;
}

struct TimingCase {
  std::vector<int> ids;
  std::vector<int> timestamps;
  std::vector<int> durations;
  std::vector<std::pair<double, double>> spans;  // in sorted order
};

TEST(TokenResultTest, TextJoinsPiecesAndSkipsUnknownIds) {
  auto manager = managerWithVocabulary();
  const std::vector<float> samples(32000, 0.0f);
  const ASRResult r = AsrManagerImpl::of(*manager).processTranscriptionResult({5, 6, 7}, {0, 1, 2}, {0.9f, 0.8f, 0.7f},
                                                                              {}, 0, samples, 0.1);
  EXPECT_EQ(r.text, "hello world");
  EXPECT_DOUBLE_EQ(r.duration, 2.0);
  EXPECT_DOUBLE_EQ(r.processingTime, 0.1);
  ASSERT_EQ(r.tokenTimings->size(), 3u);
  EXPECT_EQ((*r.tokenTimings)[0].token, " hel");
  EXPECT_EQ((*r.tokenTimings)[2].token, " world");

  const ASRResult unknown = AsrManagerImpl::of(*manager).processTranscriptionResult({5, 99, 8, 6}, {0, 1, 2, 3},
                                                                                    {1, 1, 1, 1}, {}, 0, samples, 0);
  EXPECT_EQ(unknown.text, "hello");
  ASSERT_EQ(unknown.tokenTimings->size(), 4u);
  EXPECT_EQ((*unknown.tokenTimings)[1].token, "token_99");
}

TEST(TokenResultTest, TimingsFollowDurationsOrTheNextStart) {
  auto manager = managerWithVocabulary();
  const std::vector<TimingCase> cases = {
      {{5, 6, 7}, {0, 5, 6}, {}, {{0.0, 0.4}, {0.4, 0.48}, {0.48, 0.56}}},
      {{5, 6, 7}, {0, 5, 6}, {2, 0, 1}, {{0.0, 0.16}, {0.4, 0.48}, {0.48, 0.56}}},
      {{5, 6}, {4, 2}, {}, {{0.16, 0.32}, {0.32, 0.40}}},
      {{5, 6}, {3, 3}, {}, {{0.24, 0.32}, {0.24, 0.32}}},
  };
  for (const auto& c : cases) {
    const std::vector<float> conf(c.ids.size(), 0.5f);
    const auto t = AsrManagerImpl::of(*manager).createTokenTimings(c.ids, c.timestamps, conf, c.durations);
    ASSERT_EQ(t.size(), c.spans.size());
    for (size_t i = 0; i < t.size(); ++i) {
      EXPECT_NEAR(t[i].startTime, c.spans[i].first, 1e-9) << i;
      EXPECT_NEAR(t[i].endTime, c.spans[i].second, 1e-9) << i;
    }
  }
  // Sorting moves the token at frame 2 first.
  const auto sorted = AsrManagerImpl::of(*manager).createTokenTimings({5, 6}, {4, 2}, {0.1f, 0.2f}, {});
  EXPECT_EQ(sorted[0].tokenId, 6);
  // Miscounted lists give no timings, while the text is still made.
  EXPECT_TRUE(AsrManagerImpl::of(*manager).createTokenTimings({5, 6}, {1}, {0.1f, 0.2f}, {}).empty());
}

TEST(TokenResultTest, ConfidenceIsTheClampedMean) {
  auto manager = managerWithVocabulary();
  EXPECT_FLOAT_EQ(AsrManagerImpl::of(*manager).calculateConfidence(1, 2, true, {0.9f, 0.9f}), 0.1f);
  EXPECT_FLOAT_EQ(AsrManagerImpl::of(*manager).calculateConfidence(1, 2, false, {0.9f, 0.7f}), 0.8f);
  EXPECT_FLOAT_EQ(AsrManagerImpl::of(*manager).calculateConfidence(1, 2, false, {0.02f, 0.04f}), 0.1f);
  EXPECT_FLOAT_EQ(AsrManagerImpl::of(*manager).calculateConfidence(1, 3, false, {0.9f, 0.7f}), 0.5f);
  EXPECT_FLOAT_EQ(AsrManagerImpl::of(*manager).calculateConfidence(1, 1, false, {}), 0.5f);
}

TEST(TokenResultTest, GivenTimingsAreCarriedByPosition) {
  auto manager = managerWithVocabulary();
  const std::vector<TokenTiming> given = {{"x", 0, 1.0, 1.5, 0.3f}, {"y", 0, 2.0, 2.5, 0.4f}, {"z", 0, 3.0, 3.5, 0.5f}};
  const std::vector<float> samples(16000, 0.0f);
  const ASRResult r = AsrManagerImpl::of(*manager).processTranscriptionResult({5, 99, 7}, {0, 1, 2}, {1, 1, 1}, {}, 0,
                                                                              samples, 0, given);
  ASSERT_EQ(r.tokenTimings->size(), 2u);  // the unknown id keeps no timing
  EXPECT_EQ((*r.tokenTimings)[0].token, " hel");
  EXPECT_DOUBLE_EQ((*r.tokenTimings)[0].startTime, 1.0);
  EXPECT_EQ((*r.tokenTimings)[1].tokenId, 7);
  EXPECT_DOUBLE_EQ((*r.tokenTimings)[1].startTime, 3.0);  // paired with position 2, not 1
  EXPECT_FLOAT_EQ((*r.tokenTimings)[1].confidence, 0.5f);
}

}  // namespace
