#include "engine/VAD/VadTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

namespace voxtrellis::test {
namespace {

constexpr float S = 1.0f;  // speech
constexpr float Q = 0.0f;  // silence

std::vector<VadResult> results(const std::vector<float>& probabilities) {
  std::vector<VadResult> out;
  for (float p : probabilities) out.push_back({p, p >= 0.85f, 0, VadState::initial()});
  return out;
}

std::vector<std::pair<int64_t, int64_t>> samples(const std::vector<VadSegment>& segments) {
  std::vector<std::pair<int64_t, int64_t>> out;
  for (const VadSegment& s : segments)
    out.emplace_back(std::llround(s.startTime * 16000), std::llround(s.endTime * 16000));
  return out;
}

std::vector<float> repeat(float p, int n) {
  return std::vector<float>(static_cast<std::size_t>(n), p);
}
std::vector<float> join(std::initializer_list<std::vector<float>> parts) {
  std::vector<float> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Segmentation of given probabilities needs no model.
VadManager& detector() {
  static VadManager vad(VadConfig{}, std::shared_ptr<OnnxModel>());
  return vad;
}

TEST(SpeechSegmentationTests, TurnsProbabilitiesIntoPaddedSpeechRanges) {
  VadSegmentationConfig touching;  // regions one chunk apart, with more padding than the gap holds
  touching.minSilenceDuration = 0;
  touching.speechPadding = 0.2;
  VadSegmentationConfig longMinimum;
  longMinimum.minSpeechDuration = 0.3;
  VadSegmentationConfig noLimit;
  noLimit.maxSpeechDuration = std::numeric_limits<double>::infinity();
  VadSegmentationConfig exactSilence;  // 12288 samples: three chunks
  exactSilence.minSilenceDuration = 0.768;
  VadSegmentationConfig twoPaddings = touching;  // 2048 samples of padding: a one-chunk gap holds both
  twoPaddings.speechPadding = 0.128;

  struct Case {
    const char* name;
    std::vector<float> probabilities;
    int64_t total;
    VadSegmentationConfig config;
    std::vector<std::pair<int64_t, int64_t>> expected;
  };
  const std::vector<Case> cases = {
      {"no probabilities", {}, 16000, {}, {}},
      {"no samples", {S, S}, 0, {}, {}},
      {"speech on the last chunk only", {Q, Q, Q, Q, S}, 20480, {}, {{14784, 20480}}},
      {"too little audio after the last chunk starts", {Q, Q, Q, Q, S}, 16400, {}, {}},
      // A silence of three chunks (12288 >= 12000 samples) ends speech at its start.
      {"a silence spanning 12288 samples ends speech",
       join({repeat(S, 3), repeat(Q, 4), repeat(S, 3)}),
       40960,
       {},
       {{0, 13888}, {27072, 40960}}},
      {"one spanning 8192 does not", join({repeat(S, 3), repeat(Q, 2), repeat(S, 3)}), 32768, {}, {{0, 32768}}},
      {"a silence of exactly the minimum ends speech",
       join({repeat(S, 3), repeat(Q, 4), repeat(S, 3)}),
       40960,
       exactSilence,
       {{0, 12288 + 1600}, {28672 - 1600, 40960}}},
      // 4096 samples apart with 3200 of padding each: they meet in the middle.
      {"close regions meet halfway", {S, Q, S}, 12288, touching, {{0, 6144}, {6144, 12288}}},
      {"a gap of exactly two paddings gives each its whole padding",
       {S, Q, S},
       12288,
       twoPaddings,
       {{0, 4096 + 2048}, {8192 - 2048, 12288}}},
      {"speech shorter than the minimum is dropped", join({repeat(Q, 3), {S}, repeat(Q, 4)}), 32768, longMinimum, {}},
      {"no length limit", repeat(S, 61), 249856, noLimit, {{0, 249856}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(samples(detector().segmentSpeech(results(c.probabilities), c.total, c.config)), c.expected);
  }
}

TEST(SpeechSegmentationTests, SplitsOverLongSpeechAtTheBestSilence) {
  // 61 chunks of speech; the default limit (216704 samples) is passed at chunk 53.
  std::vector<float> withPause = repeat(S, 61);
  withPause[20] = 0.1f;  // a short, deep pause: a split candidate
  EXPECT_EQ(samples(detector().segmentSpeech(results(withPause), 249856, {})),
            (std::vector<std::pair<int64_t, int64_t>>{{0, 83520}, {84416, 249856}}));

  // A pause at exactly the split threshold (0.3) qualifies and wins over a
  // longer but shallower one.
  std::vector<float> twoPauses = repeat(S, 61);
  twoPauses[10] = 0.3f;
  twoPauses[30] = twoPauses[31] = 0.5f;
  EXPECT_EQ(samples(detector().segmentSpeech(results(twoPauses), 249856, {})),
            (std::vector<std::pair<int64_t, int64_t>>{{0, 40960 + 1600}, {45056 - 1600, 249856}}));

  // Without a pause the cut falls at the current chunk, which is lost.
  EXPECT_EQ(samples(detector().segmentSpeech(results(repeat(S, 61)), 249856, {})),
            (std::vector<std::pair<int64_t, int64_t>>{{0, 218688}, {219584, 249856}}));
}

TEST(SpeechSegmentationTests, RejectsAnInvalidConfiguration) {
  VadSegmentationConfig config;
  config.minSpeechDuration = std::nan("");
  EXPECT_THROW(detector().segmentSpeech(results({S}), 4096, config), std::invalid_argument);
  config = {};
  config.maxSpeechDuration = 0;
  EXPECT_THROW(config.validate(), std::invalid_argument);
  config = {};
  config.negativeThreshold = 1.5f;
  EXPECT_THROW(config.validate(), std::invalid_argument);
  config = {};
  EXPECT_FLOAT_EQ(config.effectiveNegativeThreshold(0.85f), 0.70f);
  EXPECT_FLOAT_EQ(config.effectiveNegativeThreshold(0.1f), 0.01f);
}

TEST(SpeechSegmentationTests, CutsTheAudioOfEachRegionAtItsSamples) {
  auto vad = fixtureVad();
  std::vector<float> audio = levels({0, 0, 0, 0.95f, 0.95f, 0, 0, 0, 0});
  const auto pieces = vad->segmentSpeechAudio(audio);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].size(), 8192u + 2 * 1600);
  EXPECT_EQ(pieces[0].front(), 0.0f);
  EXPECT_EQ(pieces[0][1600], 0.95f);
}

TEST(SpeechSegmentationTests, StreamingReportsStartAndEndOfSpeech) {
  auto vad = fixtureVad();
  // The default minimum silence (12000 samples) and exactly the 12288 the
  // silence below reaches at chunk 6: both end speech there.
  VadSegmentationConfig exactSilence;
  exactSilence.minSilenceDuration = 0.768;
  for (const auto& config : {VadSegmentationConfig{}, exactSilence}) {
    SCOPED_TRACE(config.minSilenceDuration);
    VadStreamState state = vad->makeStreamState();
    const std::vector<float> chunkLevels = {0.95f, 0.95f, 0.8f, 0, 0, 0, 0, 0.95f};
    std::vector<std::optional<VadStreamEvent>> events;
    for (float level : chunkLevels) {
      const VadStreamResult r = vad->processStreamingChunk(std::vector<float>(4096, level), state, config, true, 2);
      EXPECT_NEAR(r.probability, level, 1e-4);
      events.push_back(r.event);
      state = r.state;
    }
    ASSERT_TRUE(events[0] && events[0]->isStart());
    EXPECT_EQ(events[0]->sampleIndex, 0);
    EXPECT_EQ(events[0]->time, 0.0);
    // The silence starts at 16384 (after its first chunk) and lasts 12288 samples by chunk 6.
    for (int k : {1, 2, 3, 4, 5}) EXPECT_FALSE(events[k]) << k;
    ASSERT_TRUE(events[6] && events[6]->isEnd());
    EXPECT_EQ(events[6]->sampleIndex, 16384 + 1600 - 4096);
    EXPECT_EQ(events[6]->time, 0.87);
    ASSERT_TRUE(events[7] && events[7]->isStart());
    EXPECT_EQ(events[7]->sampleIndex, 32768 - 1600 - 4096);
    EXPECT_EQ(state.processedSamples, 8 * 4096);
    EXPECT_EQ(state.modelState.hiddenState[0], 8.0f) << "the model state goes on with the stream";
  }

  const VadStreamResult quiet = vad->processStreamingChunk(std::vector<float>(4096, 0.95f), vad->makeStreamState());
  ASSERT_TRUE(quiet.event);
  EXPECT_FALSE(quiet.event->time) << "times only when asked for";
}

}  // namespace
}  // namespace voxtrellis::test
