#include "ASR/TDT/EncoderFrameView.h"
#include "ASR/TDT/TdtDecoderV3.h"
#include "AsrTestSupport.h"

#include <voxtrellis/ASRError.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace voxtrellis;
using asrtest::FrameDecision;

namespace {

class TdtDecoderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_models = new AsrModels(asrtest::fixtureModels()); }
  static void TearDownTestSuite() {
    delete s_models;
    s_models = nullptr;
  }

  TdtHypothesis decode(const std::vector<FrameDecision>& decisions, int frames, TdtDecoderState& state,
                       TdtDecoderV3::Request request = {}, ASRConfig config = ASRConfig::defaults()) {
    m_encoder = asrtest::encoderOutput(decisions, frames);
    request.encoderOutput = &m_encoder;
    if (request.encoderSequenceLength == 0) request.encoderSequenceLength = frames;
    if (request.actualAudioFrames == 0) request.actualAudioFrames = frames;
    return TdtDecoderV3(config).decodeWithTimings(request, *s_models->decoder, *s_models->joint, state);
  }

  static AsrModels* s_models;
  Tensor m_encoder;
};

AsrModels* TdtDecoderTest::s_models = nullptr;

TEST_F(TdtDecoderTest, EmitsTokensAtTheirFramesWithGlobalOffsetAndCarriesTheOvershoot) {
  TdtDecoderState state = TdtDecoderState::make();
  TdtDecoderV3::Request r;
  r.globalFrameOffset = 100;
  const auto h = decode({{2, 5, 1, 0.9f}, {3, 6, 2, 0.8f}, {5, 7, 1, 0.7f}}, 20, state, r);
  EXPECT_EQ(h.tokenIds, (std::vector<int>{5, 6, 7}));
  EXPECT_EQ(h.timestamps, (std::vector<int>{102, 103, 105}));
  ASSERT_EQ(h.confidences.size(), 3u);
  EXPECT_FLOAT_EQ(h.confidences[1], 0.8f);
  EXPECT_NEAR(h.score, 2.4f, 1e-5);
  EXPECT_TRUE(h.tokenDurations.empty());
  EXPECT_EQ(state.lastToken, 7);
  EXPECT_EQ(h.lastToken, 7);
  EXPECT_EQ(state.timeJump, 0);
  // The prediction network ran: its state moved away from zero.
  EXPECT_NE(state.hiddenState, std::vector<float>(TdtDecoderState::stateElementCount, 0.0f));
}

TEST_F(TdtDecoderTest, HalfPrecisionStateOutputsCarryTheSameRecurrence) {
  // A decoder handing its new LSTM state back as float16: every step must
  // read the state the previous step wrote, as with the float32 decoder.
  const auto half = TdtDecoderModel::load(testsupport::fixturesDir() / "asr" / "half-state" / "Decoder.mlmodelc",
                                          ComputeUnits::cpuOnly);
  const std::vector<FrameDecision> words = {{1, 5, 1},   {2, 6, 1},   {3, 7, 1},   {4, 100, 1},
                                            {5, 101, 1}, {6, 102, 1}, {7, 103, 1}, {8, 104, 1}};
  TdtDecoderState reference = TdtDecoderState::make();
  const auto expected = decode(words, 12, reference);

  TdtDecoderState state = TdtDecoderState::make();
  m_encoder = asrtest::encoderOutput(words, 12);
  TdtDecoderV3::Request r;
  r.encoderOutput = &m_encoder;
  r.encoderSequenceLength = 12;
  r.actualAudioFrames = 12;
  const auto h = TdtDecoderV3(ASRConfig::defaults()).decodeWithTimings(r, *half, *s_models->joint, state);
  EXPECT_EQ(h.tokenIds, expected.tokenIds);
  ASSERT_EQ(state.hiddenState.size(), reference.hiddenState.size());
  for (size_t i = 0; i < state.hiddenState.size(); ++i) {
    ASSERT_NEAR(state.hiddenState[i], reference.hiddenState[i], 2e-2) << i;
    ASSERT_NEAR(state.cellState[i], reference.cellState[i], 2e-2) << i;
  }
}

TEST_F(TdtDecoderTest, TooShortEncoderOutputLeavesTheStateUntouched) {
  TdtDecoderState state = TdtDecoderState::make();
  state.lastToken = 42;
  state.timeJump = 3;
  const TdtDecoderState before = state;
  TdtDecoderV3::Request r;
  r.encoderSequenceLength = 1;
  const auto h = decode({{0, 5}}, 10, state, r);
  EXPECT_TRUE(h.tokenIds.empty());
  EXPECT_FALSE(h.lastToken.has_value());
  EXPECT_EQ(state, before);
}

struct StartCase {
  std::optional<int> timeJump;
  int adjustment;
  int expectedFirstFrame;
};

void PrintTo(const StartCase& c, std::ostream* os) {
  *os << "jump=" << (c.timeJump ? std::to_string(*c.timeJump) : std::string("none")) << " adjustment=" << c.adjustment;
}

class TdtStartFrameTest : public TdtDecoderTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(TdtStartFrameTest, StartsWhereTheCarriedJumpSays) {
  const StartCase c = GetParam();
  TdtDecoderState state = TdtDecoderState::make();
  state.timeJump = c.timeJump;
  TdtDecoderV3::Request r;
  r.contextFrameAdjustment = c.adjustment;
  // One token on every frame; the first emitted shows where decoding began.
  std::vector<FrameDecision> every;
  for (int f = 0; f < 40; ++f) every.push_back({f, 100 + (f % 20), 1, 0.9f});
  const auto h = decode(every, 40, state, r);
  ASSERT_FALSE(h.timestamps.empty());
  EXPECT_EQ(h.timestamps.front(), c.expectedFirstFrame);
}

INSTANTIATE_TEST_SUITE_P(Cases, TdtStartFrameTest,
                         ::testing::Values(StartCase{0, 0, 25}, StartCase{-3, 2, 0}, StartCase{4, 2, 6},
                                           StartCase{std::nullopt, 3, 3}, StartCase{std::nullopt, 0, 0}));

TEST_F(TdtDecoderTest, StartBeyondTheValidFramesReturnsNothingAndKeepsTheJump) {
  TdtDecoderState state = TdtDecoderState::make();
  state.timeJump = 40;
  const auto h = decode({{0, 5}}, 30, state);
  EXPECT_TRUE(h.tokenIds.empty());
  EXPECT_EQ(state.timeJump, 40);
}

TEST_F(TdtDecoderTest, NegativeStartFailsAtTheFirstJointEvaluation) {
  TdtDecoderState state = TdtDecoderState::make();
  TdtDecoderV3::Request r;
  r.contextFrameAdjustment = -2;
  try {
    decode({}, 10, state, r);
    FAIL() << "expected a failure";
  } catch (const ASRError& e) {
    EXPECT_STREQ(e.what(), "ASR processing failed: Encoder frame index out of range: -2");
  }
}

TEST_F(TdtDecoderTest, ZeroDurationTokenRepeatsUntilTheFrameIsForcedForward) {
  TdtDecoderState state = TdtDecoderState::make();
  const auto h = decode({{4, 9, 0, 0.5f}}, 12, state);
  ASSERT_EQ(h.tokenIds.size(), 10u);  // maxSymbolsPerStep
  for (int ts : h.timestamps) EXPECT_EQ(ts, 4);
}

TEST_F(TdtDecoderTest, TokenReachingPastTheWindowIsDroppedInsideAStream) {
  TdtDecoderState state = TdtDecoderState::make();
  const auto h = decode({{3, 5, 1}, {18, 7, 3}}, 20, state);
  EXPECT_EQ(h.tokenIds, (std::vector<int>{5}));
  EXPECT_EQ(state.timeJump, 1);  // 18 + 3 - 20
}

TEST_F(TdtDecoderTest, TokenReachingPastTheWindowIsKeptWhenNoAudioFollows) {
  TdtDecoderState state = TdtDecoderState::make();
  TdtDecoderV3::Request r;
  r.keepTokenAtEnd = true;
  const auto h = decode({{3, 5, 1}, {18, 7, 3, 0.6f}}, 20, state, r);
  EXPECT_EQ(h.tokenIds, (std::vector<int>{5, 7}));
  EXPECT_EQ(h.timestamps, (std::vector<int>{3, 18}));
  EXPECT_EQ(state.lastToken, 7);
}

TEST_F(TdtDecoderTest, TokenAfterBlanksReachingTheEndIsKeptWhenNoAudioFollows) {
  TdtDecoderState state = TdtDecoderState::make();
  TdtDecoderV3::Request r;
  r.keepTokenAtEnd = true;
  // Frame 19 is found by the blank loop, not the outer step.
  const auto h = decode({{19, 7, 1}}, 20, state, r);
  EXPECT_EQ(h.tokenIds, (std::vector<int>{7}));
  EXPECT_EQ(h.timestamps, (std::vector<int>{19}));
}

TEST_F(TdtDecoderTest, LastChunkKeepsItsFinalTokenOnceWhenItsDurationReachesTheEnd) {
  struct Case {
    const char* name;
    FrameDecision last;
    int maxSymbolsPerStep;
    int consecutiveBlankLimit;
    int expectedFrame;
  };
  // 20 frames; the flush looks at frames 19, 19, 18, ... after the main loop.
  for (const Case& c : {Case{"flush finds nothing: kept where seen", {16, 7, 4}, 10, 5, 16},
                        Case{"no flush at all: kept where seen", {16, 7, 4}, 10, 0, 16},
                        Case{"flush finds it again: kept once, as the flush saw it", {18, 7, 3}, 3, 5, 19}}) {
    ASRConfig config = ASRConfig::defaults();
    config.tdtConfig.maxSymbolsPerStep = c.maxSymbolsPerStep;
    config.tdtConfig.consecutiveBlankLimit = c.consecutiveBlankLimit;
    TdtDecoderV3::Request r;
    r.isLastChunk = true;
    TdtDecoderState state = TdtDecoderState::make();
    const auto h = decode({{3, 5, 1}, c.last}, 20, state, r, config);
    EXPECT_EQ(h.tokenIds, (std::vector<int>{5, 7})) << c.name;
    EXPECT_EQ(h.timestamps, (std::vector<int>{3, c.expectedFrame})) << c.name;
    EXPECT_EQ(state.lastToken, 7) << c.name;
  }
}

TEST_F(TdtDecoderTest, LastChunkKeepsItsHeldTokenWhenTheFlushFindsAnotherOne) {
  // Token 7 at frame 16 reaches past the end and is held; the flush then
  // finds a different token (6 at frame 19), which must not discard it.
  ASRConfig config = ASRConfig::defaults();
  config.tdtConfig.maxSymbolsPerStep = 1;
  TdtDecoderV3::Request r;
  r.isLastChunk = true;
  TdtDecoderState state = TdtDecoderState::make();
  const auto h = decode({{3, 5, 1}, {16, 7, 4}, {19, 6, 1}}, 20, state, r, config);
  EXPECT_EQ(h.tokenIds, (std::vector<int>{5, 6, 7}));
  EXPECT_EQ(h.timestamps, (std::vector<int>{3, 19, 16}));
}

TEST_F(TdtDecoderTest, TheDecoderIsFedTheBlankFirstThenEachEmittedToken) {
  // Each decision holds only when the projection came from the named token.
  TdtDecoderState state = TdtDecoderState::make();
  auto h = decode({{2, 5, 1, 0.9f, 8192}, {3, 6, 1, 0.9f, 5}, {5, 7, 1, 0.9f, 6}}, 20, state);
  EXPECT_EQ(h.tokenIds, (std::vector<int>{5, 6, 7}));

  // The fixture really refuses a decision whose previous token was another.
  state = TdtDecoderState::make();
  h = decode({{2, 5, 1, 0.9f, 8192}, {3, 6, 1, 0.9f, 100}}, 20, state);
  EXPECT_EQ(h.tokenIds, (std::vector<int>{5}));
}

TEST_F(TdtDecoderTest, AContinuationWindowFeedsTheCarriedLastToken) {
  // Window 1 ends on token 5 (projection carried) or on a boundary token
  // (projection forgotten, so the decoder runs again on the carried token).
  for (int last : {5, 7883}) {
    TdtDecoderState state = TdtDecoderState::make();
    decode({{2, last, 1}}, 10, state);
    ASSERT_EQ(state.lastToken, last);
    const auto h = decode({{30, 6, 1, 0.9f, last}}, 40, state);
    EXPECT_EQ(h.tokenIds, (std::vector<int>{6})) << last;
  }
}

TEST_F(TdtDecoderTest, StopsAtTheTokenLimitOfAChunk) {
  TdtDecoderState state = TdtDecoderState::make();
  std::vector<FrameDecision> many;
  for (int f = 0; f < 170; ++f) many.push_back({f, 100 + (f % 26), 1, 0.9f});
  const auto h = decode(many, 200, state);
  EXPECT_EQ(h.tokenIds.size(), 150u);
  EXPECT_EQ(h.timestamps.back(), 149);
}

TEST_F(TdtDecoderTest, DurationBinOutsideTheListFails) {
  TdtDecoderState state = TdtDecoderState::make();
  try {
    decode({{2, 5, 5}}, 10, state);
    FAIL() << "expected a failure";
  } catch (const ASRError& e) {
    EXPECT_EQ(e.code(), ASRError::Code::processingFailed);
    EXPECT_STREQ(e.what(), "ASR processing failed: Duration bin index out of range: 5");
  }
}

TEST_F(TdtDecoderTest, LastChunkFlushStopsAfterTheConfiguredRunOfBlanks) {
  // One token per chunk, so the main loop leaves at frame 4 and the flush
  // walks on from there: frames 4, 19, 18, 7, 19, 18, 10, 19, 18, 13.
  ASRConfig config = ASRConfig::defaults();
  config.tdtConfig.maxTokensPerChunk = 1;
  const std::vector<FrameDecision> decisions = {{2, 5, 1}, {3, 6, 1}, {10, 7, 1, 0.4f}};
  TdtDecoderV3::Request r;
  r.isLastChunk = true;

  TdtDecoderState state = TdtDecoderState::make();
  auto h = decode(decisions, 20, state, r, config);
  EXPECT_EQ(h.tokenIds, (std::vector<int>{5}));  // five blanks in a row end the flush before frame 10
  EXPECT_FALSE(state.timeJump.has_value());
  EXPECT_FALSE(state.predictorOutput.has_value());

  config.tdtConfig.consecutiveBlankLimit = 7;
  state = TdtDecoderState::make();
  h = decode(decisions, 20, state, r, config);
  EXPECT_EQ(h.tokenIds, (std::vector<int>{5, 7}));
  EXPECT_EQ(h.timestamps, (std::vector<int>{2, 10}));

  // At most maxSymbolsPerStep evaluations: frame 16 would be the 13th.
  config.tdtConfig.consecutiveBlankLimit = 20;
  state = TdtDecoderState::make();
  h = decode({{2, 5, 1}, {3, 6, 1}, {16, 7, 1}}, 20, state, r, config);
  EXPECT_EQ(h.tokenIds, (std::vector<int>{5}));
}

TEST_F(TdtDecoderTest, ChunkEndingOnABoundaryTokenForgetsItsProjection) {
  for (int boundary : {7883, 7948, 7952}) {
    TdtDecoderState state = TdtDecoderState::make();
    decode({{2, boundary, 1}}, 10, state);
    EXPECT_EQ(state.lastToken, boundary);
    EXPECT_FALSE(state.predictorOutput.has_value()) << boundary;
  }

  TdtDecoderState state = TdtDecoderState::make();
  decode({{2, 5, 1}}, 10, state);
  EXPECT_EQ(state.lastToken, 5);
  ASSERT_TRUE(state.predictorOutput.has_value());
  EXPECT_EQ(state.predictorOutput->size(), 640u);
}

TEST_F(TdtDecoderTest, VersionTwoDecoderUsesItsOwnBlank) {
  const AsrModels v2 = asrtest::fixtureModels(AsrModelVersion::v2);
  ASRConfig config = ASRConfig::defaults();
  config.tdtConfig.blankId = 1024;
  Tensor enc = asrtest::encoderOutput({{2, 5, 1}}, 10, 1024);
  TdtDecoderV3::Request r;
  r.encoderOutput = &enc;
  r.encoderSequenceLength = 10;
  r.actualAudioFrames = 10;
  TdtDecoderState state = TdtDecoderState::make();
  const auto h = TdtDecoderV2(config).decodeWithTimings(r, *v2.decoder, *v2.joint, state);
  EXPECT_EQ(h.tokenIds, (std::vector<int>{5}));
}

TEST(TdtDecoderValues, ProbabilitiesAreClamped) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::pair<float, float>> cases = {{std::nanf(""), 0.0f}, {inf, 0.0f},   {-inf, 0.0f},
                                                      {1.7f, 1.0f},          {-0.2f, 0.0f}, {0.25f, 0.25f}};
  for (auto [in, out] : cases) {
    EXPECT_EQ(TdtDecoderV3::clampProbability(in), out) << in;
  }
}

TEST(TdtDecoderValues, DurationBinsMapThroughTheList) {
  EXPECT_EQ(TdtDecoderV3::mapDurationBin(3, {0, 1, 2, 3, 4}), 3);
  EXPECT_EQ(TdtDecoderV3::mapDurationBin(1, {0, 2, 4}), 2);
  EXPECT_THROW(TdtDecoderV3::mapDurationBin(-1, {0, 1}), ASRError);
  EXPECT_THROW(TdtDecoderV3::mapDurationBin(2, {0, 1}), ASRError);
}

TEST(TdtDecoderValues, ProjectionLayoutsAreCheckedBeforeCopying) {
  Tensor step = Tensor::zeros(ElementType::float32, {1, 640, 1});
  struct Case {
    Tensor projection;
    const char* message;
  };
  const std::vector<Case> cases = {
      {Tensor::zeros(ElementType::float32, {1, 640}), "Invalid decoder projection rank: [1, 640]"},
      {Tensor::zeros(ElementType::float32, {2, 640, 1}), "Unsupported decoder batch dimension: 2"},
      {Tensor::zeros(ElementType::float16, {1, 640, 1}), "Unsupported decoder projection type: float16"},
      {Tensor::zeros(ElementType::float32, {1, 3, 5}), "Decoder projection hidden size mismatch: [1, 3, 5]"},
      {Tensor::zeros(ElementType::float32, {1, 640, 2}), "Decoder projection time axis must be 1: [1, 640, 2]"},
  };
  for (const auto& c : cases) {
    try {
      TdtDecoderV3::populatePreparedDecoderProjection(c.projection, step);
      ADD_FAILURE() << "accepted " << c.message;
    } catch (const ASRError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("ASR processing failed: ") + c.message);
    }
  }
  Tensor wrongStep = Tensor::zeros(ElementType::float32, {1, 1, 640});
  EXPECT_THROW(
      TdtDecoderV3::populatePreparedDecoderProjection(Tensor::zeros(ElementType::float32, {1, 640, 1}), wrongStep),
      ASRError);

  // Both layouts copy the 640 values in order.
  std::vector<float> values(640);
  for (int i = 0; i < 640; ++i) values[i] = static_cast<float>(i);
  for (std::vector<int64_t> shape : {std::vector<int64_t>{1, 1, 640}, std::vector<int64_t>{1, 640, 1}}) {
    TdtDecoderV3::populatePreparedDecoderProjection(Tensor::fromValues<float>(shape, values), step);
    EXPECT_EQ(step.data<float>()[639], 639.0f);
    EXPECT_EQ(step.data<float>()[17], 17.0f);
  }
}

TEST(EncoderFrameViewTest, ReadsBothLayoutsAndPrefersHiddenAxisOne) {
  EncoderFrameView square(Tensor::zeros(ElementType::float32, {1, 1024, 1024}), 1024);
  EXPECT_EQ(square.hiddenAxis(), 1);

  // [1, T, 1024]: frame t is contiguous.
  Tensor timeMajor = Tensor::zeros(ElementType::float32, {1, 3, 1024});
  timeMajor.data<float>()[2 * 1024 + 5] = 7.0f;
  EncoderFrameView view(timeMajor, 10);
  EXPECT_EQ(view.frameCount(), 3);
  std::vector<float> frame(1024);
  view.copyFrame(2, frame.data(), 1);
  EXPECT_EQ(frame[5], 7.0f);
  EXPECT_THROW(view.copyFrame(3, frame.data(), 1), ASRError);
}

TEST(EncoderFrameViewTest, RejectsLayoutsItCannotRead) {
  struct Case {
    Tensor t;
    int64_t valid;
    const char* message;
  };
  const std::vector<Case> cases = {
      {Tensor::zeros(ElementType::float32, {1, 1024}), 5, "Invalid encoder output shape: [1, 1024]"},
      {Tensor::zeros(ElementType::float32, {2, 1024, 4}), 5, "Unsupported batch dimension: 2"},
      {Tensor::zeros(ElementType::float32, {1, 512, 4}), 5, "Encoder hidden size mismatch: [1, 512, 4]"},
      {Tensor::zeros(ElementType::float32, {1, 1024, 4}), 0, "Encoder output has no frames"},
      {Tensor::zeros(ElementType::int32, {1, 1024, 4}), 4, "Unsupported encoder output type: int32"},
  };
  for (const auto& c : cases) {
    try {
      EncoderFrameView v(c.t, c.valid);
      ADD_FAILURE() << "accepted " << c.message;
    } catch (const ASRError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("ASR processing failed: ") + c.message);
    }
  }
}

}  // namespace
