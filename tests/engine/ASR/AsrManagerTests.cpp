#include "ASR/AsrManagerImpl.h"
#include "ASR/AsrPredictionOptions.h"
#include "ASR/TDT/StateAllocation.h"
#include "AsrTestSupport.h"
#include "support/TempDir.h"

#include <voxtrellis/ASRError.h>
#include <voxtrellis/AsrManager.h>
#include <voxtrellis/AudioFormat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using namespace voxtrellis;
using asrtest::FrameDecision;

namespace {

const AsrModels& models() {
  static const AsrModels m = asrtest::fixtureModels();
  return m;
}

std::shared_ptr<AsrManager> readyManager() {
  auto manager = AsrManager::create();
  manager->initialize(models());
  return manager;
}

// "hello world": ▁hel at frame 2, lo at frame 3, ▁world at frame 6.
const std::vector<FrameDecision> kHelloWorld = {{2, 5, 1, 0.9f}, {3, 6, 2, 0.8f}, {6, 7, 1, 0.7f}};

// A long passage: one word every six frames, cycling through the 26 words
// (ids 100...125), ending well before the audio does.
std::vector<FrameDecision> passage(int firstFrame, int lastFrame) {
  std::vector<FrameDecision> out;
  int k = 0;
  for (int f = firstFrame; f <= lastFrame; f += 6, ++k) {
    out.push_back({f, 100 + (k % 26), 1 + (k % 4), 0.5f + 0.01f * static_cast<float>(k % 40)});
  }
  return out;
}

std::string passageText(const std::vector<FrameDecision>& decisions, const AsrModels& m) {
  std::string text;
  for (const auto& d : decisions) {
    text += m.vocabulary.at(d.token);
  }
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, 3, "\xE2\x96\x81") == 0) {
      out += ' ';
      i += 3;
    } else {
      out += text[i++];
    }
  }
  return out.substr(out.find_first_not_of(' '));
}

std::vector<std::string> streamValues(ProgressStream& stream, std::exception_ptr* error = nullptr) {
  std::vector<std::string> values;
  for (;;) {
    const auto e = stream.poll(std::chrono::milliseconds(0));
    if (e.kind == ProgressStream::Event::Kind::value) {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.4f", e.value);
      values.emplace_back(buffer);
    } else {
      if (e.kind == ProgressStream::Event::Kind::finished) values.emplace_back("end");
      if (e.kind == ProgressStream::Event::Kind::failed) {
        values.emplace_back("error");
        if (error) *error = e.error;
      }
      return values;
    }
  }
}

std::string fraction(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.4f", v);
  return buffer;
}

TdtDecoderState primedState() {
  auto manager = readyManager();
  TdtDecoderState s = TdtDecoderState::make();
  manager->initializeDecoderState(s);
  return s;
}

TEST(AsrManagerTest, AvailabilityFollowsTheModels) {
  auto manager = AsrManager::create();
  EXPECT_FALSE(manager->isAvailable());
  manager->initialize(models());
  EXPECT_TRUE(manager->isAvailable());
  manager->cleanup();
  EXPECT_FALSE(manager->isAvailable());
  EXPECT_FALSE(manager->vocabulary().empty());  // kept for a later initialize

  AsrModels noPreprocessor = models();
  noPreprocessor.preprocessor.reset();
  manager->initialize(noPreprocessor);
  EXPECT_FALSE(manager->isAvailable());
}

TEST(AsrManagerTest, RefusesWorkBeforeModelsAndShortAudio) {
  auto manager = AsrManager::create();
  const std::vector<float> second(16000, 0.0f);
  try {
    manager->transcribe(second, AudioSource::microphone);
    FAIL();
  } catch (const ASRError& e) {
    EXPECT_STREQ(e.what(), "AsrManager not initialized. Call initialize() first.");
  }
  TdtDecoderState s = TdtDecoderState::make();
  EXPECT_THROW(manager->initializeDecoderState(s), ASRError);

  manager->initialize(models());
  const std::vector<float> tooShort(15999, 0.0f);
  try {
    manager->transcribe(tooShort, AudioSource::microphone);
    FAIL();
  } catch (const ASRError& e) {
    EXPECT_EQ(e.code(), ASRError::Code::invalidAudioData);
    EXPECT_STREQ(e.what(), "Invalid audio data provided. Must be at least 1 second of 16kHz audio.");
  }
  const ASRResult silent = manager->transcribe(second, AudioSource::microphone);
  EXPECT_EQ(silent.text, "");
  EXPECT_FLOAT_EQ(silent.confidence, 0.1f);
  EXPECT_DOUBLE_EQ(silent.duration, 1.0);
}

TEST(AsrManagerTest, ShortFileBecomesTextTimingsAndConfidence) {
  auto manager = readyManager();
  const auto audio = asrtest::renderSpeech(kHelloWorld, 32000);
  const ASRResult r = manager->transcribe(audio, AudioSource::microphone);
  EXPECT_EQ(r.text, "hello world");
  EXPECT_NEAR(r.confidence, 0.8f, 1e-5);
  EXPECT_DOUBLE_EQ(r.duration, 2.0);
  EXPECT_GT(r.processingTime, 0.0);
  EXPECT_FALSE(r.performanceMetrics.has_value());
  ASSERT_TRUE(r.tokenTimings.has_value());
  const auto& t = *r.tokenTimings;
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].token, " hel");
  EXPECT_EQ(t[1].token, "lo");
  EXPECT_EQ(t[2].token, " world");
  EXPECT_EQ(t[2].tokenId, 7);
  EXPECT_NEAR(t[0].startTime, 0.16, 1e-9);
  EXPECT_NEAR(t[0].endTime, 0.24, 1e-9);
  EXPECT_NEAR(t[1].startTime, 0.24, 1e-9);
  EXPECT_NEAR(t[1].endTime, 0.48, 1e-9);
  EXPECT_NEAR(t[2].startTime, 0.48, 1e-9);
  EXPECT_NEAR(t[2].endTime, 0.56, 1e-9);
  EXPECT_FLOAT_EQ(t[1].confidence, 0.8f);
}

TEST(AsrManagerTest, LastWordWhoseDurationReachesTheWindowEndIsKept) {
  auto manager = readyManager();
  // 16 000 samples give 13 audio frames; "world" at frame 11 lasts 3 frames.
  const auto audio = asrtest::renderSpeech({{2, 5, 1}, {3, 6, 1}, {11, 7, 3}}, 16000);
  const ASRResult r = manager->transcribe(audio, AudioSource::microphone);
  EXPECT_EQ(r.text, "hello world");
  ASSERT_EQ(r.tokenTimings->size(), 3u);
  EXPECT_NEAR(r.tokenTimings->back().startTime, 0.88, 1e-9);
}

TEST(AsrManagerTest, LastWordOfLongAudioWhoseDurationReachesTheEndIsKept) {
  auto manager = readyManager();
  // 320 000 samples: the last chunk holds global frames 162 to 249. Its final
  // word starts three frames before the end and lasts four.
  auto decisions = passage(3, 200);
  decisions.push_back({247, 120, 4, 0.9f});
  const ASRResult r = manager->transcribe(asrtest::renderSpeech(decisions, 320000), AudioSource::microphone);
  EXPECT_EQ(r.text, passageText(decisions, models()));
  ASSERT_TRUE(r.tokenTimings.has_value());
  ASSERT_FALSE(r.tokenTimings->empty());
  EXPECT_EQ(r.tokenTimings->back().tokenId, 120);
}

TEST(AsrManagerTest, SuccessiveCallsCarryNoContextAndLeaveBothStatesPrimed) {
  auto manager = readyManager();
  const auto audio = asrtest::renderSpeech(kHelloWorld, 48000);
  const ASRResult first = manager->transcribe(audio, AudioSource::system);
  const ASRResult second = manager->transcribe(audio, AudioSource::system);
  EXPECT_EQ(first.text, second.text);
  EXPECT_EQ(first.tokenTimings, second.tokenTimings);

  const TdtDecoderState primed = primedState();
  for (AudioSource s : {AudioSource::microphone, AudioSource::system}) {
    EXPECT_EQ(manager->decoderState(s), primed);
  }
}

TEST(AsrManagerTest, FailedFileLeavesBothStatesPrimedForTheNextOne) {
  auto manager = readyManager();
  // Two words, then a duration bin the decoder cannot map.
  const auto broken = asrtest::renderSpeech({{2, 5, 1}, {3, 6, 1}, {8, 7, 5}}, 32000);
  try {
    manager->transcribe(broken, AudioSource::microphone);
    FAIL();
  } catch (const ASRError& e) {
    EXPECT_STREQ(e.what(), "ASR processing failed: Duration bin index out of range: 5");
  }
  const TdtDecoderState primed = primedState();
  EXPECT_EQ(manager->decoderState(AudioSource::microphone), primed);
  EXPECT_EQ(manager->decoderState(AudioSource::system), primed);

  const ASRResult next = manager->transcribe(asrtest::renderSpeech(kHelloWorld, 32000), AudioSource::microphone);
  EXPECT_EQ(next.text, "hello world");
}

TEST(AsrManagerTest, DecoderStateThatCannotBeAllocatedIsAnErrorNotACrash) {
  auto manager = readyManager();
  const auto audio = asrtest::renderSpeech(kHelloWorld, 300000);
  detail::setDecoderStateAllocationFailsForTesting(true);
  try {
    manager->transcribe(audio, AudioSource::microphone);
    detail::setDecoderStateAllocationFailsForTesting(false);
    FAIL();
  } catch (const ASRError& e) {
    detail::setDecoderStateAllocationFailsForTesting(false);
    EXPECT_EQ(e.code(), ASRError::Code::processingFailed);
    EXPECT_EQ(std::string(e.what()).rfind("ASR processing failed: Failed to allocate decoder state: ", 0), 0u);
  }
  EXPECT_EQ(manager->transcribe(asrtest::renderSpeech(kHelloWorld, 32000), AudioSource::microphone).text,
            "hello world");
}

TEST(AsrManagerTest, LongAudioIsChunkedMergedAndReportsProgress) {
  auto manager = readyManager();
  auto stream = manager->transcriptionProgressStream();
  const auto decisions = passage(3, 480);  // frames of the whole 40 s input
  const auto audio = asrtest::renderSpeech(decisions, 640000);
  const ASRResult r = manager->transcribe(audio, AudioSource::microphone);

  EXPECT_EQ(r.text, passageText(decisions, models()));
  ASSERT_EQ(r.tokenTimings->size(), decisions.size());
  for (size_t i = 0; i < decisions.size(); ++i) {
    EXPECT_EQ((*r.tokenTimings)[i].tokenId, decisions[i].token) << i;
    EXPECT_NEAR((*r.tokenTimings)[i].startTime, decisions[i].frame * 0.08, 1e-9) << i;
    EXPECT_NEAR((*r.tokenTimings)[i].confidence, decisions[i].probability, 1e-3) << i;
  }
  EXPECT_DOUBLE_EQ(r.duration, 40.0);

  EXPECT_EQ(streamValues(*stream), (std::vector<std::string>{"0.0000", fraction(239360.0 / 640000),
                                                             fraction(446720.0 / 640000), "1.0000", "end"}));
  // The next session is ready and starts at 0.
  auto next = manager->transcriptionProgressStream();
  EXPECT_NE(next, stream);
  EXPECT_EQ(streamValues(*next), std::vector<std::string>{"0.0000"});
}

TEST(AsrManagerTest, ExactlyOneWindowOpensNoSessionAndOneSampleMoreIsChunked) {
  auto manager = readyManager();
  auto stream = manager->transcriptionProgressStream();
  const auto words = passage(3, 170);
  manager->transcribe(asrtest::renderSpeech(words, 240000), AudioSource::microphone);
  EXPECT_EQ(streamValues(*stream), std::vector<std::string>{"0.0000"});  // still open, nothing reported

  const ASRResult r = manager->transcribe(asrtest::renderSpeech(words, 240001), AudioSource::microphone);
  EXPECT_EQ(r.text, passageText(words, models()));
  EXPECT_EQ(streamValues(*stream), (std::vector<std::string>{fraction(239360.0 / 240001), "1.0000", "end"}));
}

TEST(AsrManagerTest, FailedLongTranscriptionEndsTheStreamWithTheSameError) {
  auto manager = readyManager();
  auto stream = manager->transcriptionProgressStream();
  // The broken frame lies in the second chunk only.
  const auto audio = asrtest::renderSpeech({{3, 100, 1}, {200, 7, 5}}, 300000);
  std::string thrown;
  try {
    manager->transcribe(audio, AudioSource::microphone);
  } catch (const ASRError& e) {
    thrown = e.what();
  }
  ASSERT_FALSE(thrown.empty());
  std::exception_ptr error;
  EXPECT_EQ(streamValues(*stream, &error), (std::vector<std::string>{"0.0000", fraction(239360.0 / 300000), "error"}));
  try {
    std::rethrow_exception(error);
  } catch (const ASRError& e) {
    EXPECT_EQ(thrown, e.what());
  }
}

TEST(AsrManagerTest, VersionTwoModelsDecodeWithTheirOwnBlank) {
  auto manager = AsrManager::create();
  manager->initialize(asrtest::fixtureModels(AsrModelVersion::v2));
  const auto audio = asrtest::renderSpeech(kHelloWorld, 32000, 1024);
  EXPECT_EQ(manager->transcribe(audio, AudioSource::microphone).text, "hello world");
}

TEST(AsrManagerTest, WindowStepsHaveTheirOwnCallableForms) {
  auto manager = readyManager();
  AsrManagerImpl& impl = AsrManagerImpl::of(*manager);
  EXPECT_TRUE(optimizedPredictionOptions().outputBackings.empty());

  const std::vector<float> samples = {0.25f, -0.5f, 0.75f};
  for (const auto& [given, expected] : std::vector<std::pair<std::optional<int>, int>>{{std::nullopt, 3}, {2, 2}}) {
    const NamedTensors input = impl.preparePreprocessorInput(samples, given);
    const Tensor& signal = input.at("audio_signal");
    EXPECT_EQ(signal.shape(), (std::vector<int64_t>{1, 3}));
    EXPECT_EQ(std::vector<float>(signal.data<float>(), signal.data<float>() + 3), samples);
    EXPECT_EQ(input.at("audio_length").data<int32_t>()[0], expected);
  }

  // The decoder variant follows the bundle's version: version 2 decodes with blank 1024.
  for (const AsrModelVersion version : {AsrModelVersion::v3, AsrModelVersion::v2}) {
    manager->initialize(asrtest::fixtureModels(version));
    const int blank = version == AsrModelVersion::v2 ? 1024 : 8192;
    const Tensor encoder = asrtest::encoderOutput({{2, 5, 1}, {4, 6, 1}}, 10, blank);
    TdtDecoderState state = TdtDecoderState::make();
    const TdtHypothesis h = impl.tdtDecodeWithTimings(encoder, 10, 10, state, 0, false, 100);
    EXPECT_EQ(h.tokenIds, (std::vector<int>{5, 6}));
    EXPECT_EQ(h.timestamps, (std::vector<int>{102, 104}));
  }
}

TEST(AsrManagerTest, PcmBuffersAndFilesReachTheSameRecogniser) {
  auto manager = readyManager();
  const auto audio = asrtest::renderSpeech(kHelloWorld, 32000);
  const AudioPCMBuffer buffer = AudioPCMBuffer::fromChannels(16000.0, {audio});
  EXPECT_EQ(manager->transcribe(buffer, AudioSource::microphone).text, "hello world");

  // A 32-bit float WAV file at 16 kHz is read without any change of level.
  testsupport::TempDir dir;
  const auto path = dir.path() / "hello.wav";
  {
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&out](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&out](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const uint32_t bytes = static_cast<uint32_t>(audio.size() * 4);
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVE", 4);
    out.write("fmt ", 4);
    u32(16);
    u16(3);
    u16(1);
    u32(16000);
    u32(64000);
    u16(4);
    u16(32);
    out.write("data", 4);
    u32(bytes);
    out.write(reinterpret_cast<const char*>(audio.data()), bytes);
  }
  EXPECT_EQ(manager->transcribe(path, AudioSource::microphone).text, "hello world");
  EXPECT_ANY_THROW(manager->transcribe(dir.path() / "missing.wav", AudioSource::microphone));
}

TEST(AsrWindowTest, LengthsAreFrameAlignedOnlyWhenTheWindowHasRoom) {
  const std::vector<std::pair<int, int>> cases = {{16000, 16640},   {239360, 239360}, {239361, 239361},
                                                  {240000, 240000}, {1280, 1280},     {1281, 2560}};
  for (auto [count, aligned] : cases) {
    EXPECT_EQ(asr::frameAlignedLength(count), aligned) << count;
  }
  EXPECT_EQ(asr::framesFor(239361), 188);
  EXPECT_EQ(asr::framesFor(16640), 13);
}

}  // namespace
