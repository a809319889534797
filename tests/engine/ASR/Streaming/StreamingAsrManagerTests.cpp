#include <voxtrellis/StreamingAsrManager.h>

#include "engine/ASR/AsrTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <limits>
#include <sstream>
#include <thread>

namespace voxtrellis::test {
namespace {

using asrtest::FrameDecision;

const char* const kWords[] = {"alpha", "bravo", "charlie", "delta", "echo",   "foxtrot", "golf",
                              "hotel", "india", "juliett", "kilo",  "lima",   "mike",    "november",
                              "oscar", "papa",  "quebec",  "romeo", "sierra", "tango"};

constexpr int kWordCount = static_cast<int>(std::size(kWords));

// `count` words (fixture tokens 100 + k, the twenty names over again), one
// every `spacing` encoder frames from frame 10, in audio of `seconds` seconds.
std::vector<float> speech(int count, int spacing, double seconds, float probability = 0.9f, int firstWord = 0) {
  std::vector<FrameDecision> decisions;
  for (int k = 0; k < count; ++k) {
    decisions.push_back({10 + k * spacing, 100 + (firstWord + k) % kWordCount, 1, probability});
  }
  return asrtest::renderSpeech(decisions, static_cast<std::size_t>(seconds * 16000));
}

std::string words(int count, int firstWord = 0) {
  std::string text;
  for (int k = 0; k < count; ++k) text += (k ? " " : "") + std::string(kWords[(firstWord + k) % kWordCount]);
  return text;
}

void streamInSeconds(StreamingAsrManager& asr, const std::vector<float>& audio) {
  for (std::size_t start = 0; start < audio.size(); start += 16000) {
    const std::size_t end = std::min(audio.size(), start + 16000);
    asr.streamAudio(AudioPCMBuffer::fromChannels(16000.0, {{audio.begin() + start, audio.begin() + end}}));
  }
}

std::vector<StreamingTranscriptionUpdate> drain(StreamingUpdateQueue& queue) {
  std::vector<StreamingTranscriptionUpdate> out;
  while (auto update = queue.pop()) out.push_back(*update);
  return out;
}

// Windows of whole encoder frames (the test models read audio frame by frame
// from the window's first sample): 10.24 s chunks with 2 s of context on each
// side, so windows come at 12.24, 22.48 and 32.72 s.
StreamingAsrConfig frameAligned() {
  return {10.24, 1.0, 2.0, 2.0, 10.0, 0.8};
}

std::unique_ptr<StreamingAsrManager> started(const StreamingAsrConfig& config = frameAligned()) {
  auto asr = std::make_unique<StreamingAsrManager>(config);
  asr->start(asrtest::fixtureModels(), AudioSource::microphone);
  return asr;
}

TEST(StreamingAsrManagerTests, FitsEveryWindowIntoTheRecognisersInput) {
  struct Case {
    const char* name;
    StreamingAsrConfig config;
    int64_t chunk, left, right;
  };
  const std::vector<Case> cases = {
      // 10 + 15 + 2 s would be 432000 samples: the left context goes, then
      // chunk length; every length is a whole number of 80 ms frames.
      {"default", StreamingAsrConfig::defaultConfig(), 162 * 1280, 0, 25 * 1280},
      {"streaming", StreamingAsrConfig::streaming(), 137 * 1280, 25 * 1280, 25 * 1280},
      {"custom", StreamingAsrConfig::custom(1.5, 0.9), 18 * 1280, 125 * 1280, 25 * 1280},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StreamingAsrManager asr(c.config);
    EXPECT_EQ(asr.chunkSamples(), c.chunk);
    EXPECT_EQ(asr.leftContextSamples(), c.left);
    EXPECT_EQ(asr.rightContextSamples(), c.right);
    EXPECT_LE(c.chunk + c.left + c.right, 240000);
  }
  EXPECT_DOUBLE_EQ(StreamingAsrConfig::custom(1.5, 0.9).hypothesisChunkSeconds, 0.75);
  EXPECT_DOUBLE_EQ(StreamingAsrConfig::custom(4, 0.9).hypothesisChunkSeconds, 1.0);
  for (double bad : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    StreamingAsrConfig config;
    config.chunkSeconds = bad;
    EXPECT_THROW(StreamingAsrManager{config}, StreamingAsrError);
  }
}

TEST(StreamingAsrManagerTests, TranscribesEveryWordOnceAcrossOverlappingWindows) {
  auto asr = started();
  auto updates = asr->transcriptionUpdates();
  // 20 words over 40 s: three windows, then a flush of the last 9.28 s.
  streamInSeconds(*asr, speech(20, 25, 40.0));
  EXPECT_EQ(asr->finish(), words(20));

  const auto received = drain(*updates);  // ends: the queue closes when recognition ends
  ASSERT_EQ(received.size(), 4u);
  std::string joined;
  double lastStart = -1;
  for (const auto& u : received) {
    if (!u.text.empty()) joined += (joined.empty() ? "" : " ") + u.text;
    EXPECT_EQ(u.tokens().size(), u.tokenIds.size());
    for (const auto& t : u.tokenTimings) {
      EXPECT_GT(t.startTime, lastStart) << "timings run on across windows";
      lastStart = t.startTime;
    }
  }
  EXPECT_EQ(joined, words(20));
  EXPECT_GT(lastStart, 35.0);
  EXPECT_FALSE(asr->transcriptionUpdates()->pop()) << "a queue asked for after the end is closed";
}

TEST(StreamingAsrManagerTests, ShortLeftContextLosesNoWordAtTheStartOfAChunk) {
  // Less than the 2 s the decoder skips when it resumes a carried state:
  // every later window must still be read from its own first frame. A word
  // every 0.8 s over 40 s, so any stretch lost shows.
  for (const double left : {0.0, 0.96}) {
    SCOPED_TRACE(left);
    auto asr = started({10.24, 1.0, left, 2.0, 10.0, 0.8});
    streamInSeconds(*asr, speech(48, 10, 40.0));
    EXPECT_EQ(asr->finish(), words(48));
  }
}

TEST(StreamingAsrManagerTests, KeepsAWordAtAChunkBoundaryOnce) {
  for (const auto& config : {StreamingAsrConfig::defaultConfig(), StreamingAsrConfig::streaming()}) {
    SCOPED_TRACE(config.chunkSeconds);
    auto asr = started(config);
    const int64_t boundary = asr->chunkSamples();
    const int frame = static_cast<int>(boundary / 1280);
    std::vector<float> audio(static_cast<std::size_t>(boundary + 5 * 16000), 0.0f);
    // The test models read a frame's pattern on the grid of the window's
    // first sample; a word heard across the boundary is written on the
    // stream's grid and on the boundary's, so that a window on either reads it.
    const auto say = [&](int64_t at, int token) {
      const auto pattern = asrtest::renderSpeech({{0, token, 1, 0.9f}}, 1280);
      std::copy(pattern.begin(), pattern.begin() + 640, audio.begin() + at);
    };
    say((frame - 1) * 1280, 100);  // the chunk's last frame
    say(frame * 1280, 101);        // the next chunk's first frame: the first window's right context
    say(boundary, 101);
    say((frame + 1) * 1280, 102);
    asr->streamAudio(AudioPCMBuffer::fromChannels(16000.0, {audio}));
    EXPECT_EQ(asr->finish(), words(3));
  }
}

TEST(StreamingAsrManagerTests, KeepsTheWordsOfTheLastFramesWhenTheStreamEnds) {
  // A word on the last frame of a window, whose duration reaches past it,
  // waits for the next window unless the decoder knows no audio follows.
  // The last word is heard only after the one before it, so that the
  // decoder's final looks at the end do not hear it again.
  struct Case {
    double seconds;
    std::vector<FrameDecision> words;
  };
  const std::vector<Case> cases = {
      // Three windows, then one to flush, holding both words.
      {40.0, {{480, 100}, {499, 101, 1, 0.9f, 100}}},
      // Less than a first window: two to flush, the first chunk ending on frame 127.
      {12.0, {{10, 100}, {127, 101}, {149, 102, 1, 0.9f, 101}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    auto asr = started();
    const auto audio = asrtest::renderSpeech(c.words, static_cast<std::size_t>(c.seconds * 16000));
    asr->streamAudio(AudioPCMBuffer::fromChannels(16000.0, {audio}));
    EXPECT_EQ(asr->finish(), words(static_cast<int>(c.words.size())));
  }
}

TEST(StreamingAsrManagerTests, LongLeftContextDoesNotRepeatWords) {
  // 9.6 s of context before each 2.56 s chunk: every word is heard by
  // several windows and more of them than a token-run match can catch.
  auto asr = started({2.56, 1.0, 9.6, 2.56, 10.0, 0.8});
  streamInSeconds(*asr, speech(20, 5, 14.0));
  EXPECT_EQ(asr->finish(), words(20));
}

TEST(StreamingAsrManagerTests, EveryReaderReceivesEveryUpdate) {
  auto asr = started();
  auto first = asr->transcriptionUpdates();
  auto second = asr->transcriptionUpdates();
  streamInSeconds(*asr, speech(8, 25, 18.0));
  asr->finish();
  const auto a = drain(*first);
  const auto b = drain(*second);
  ASSERT_EQ(a.size(), 2u);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(a[0].text, b[0].text);
  EXPECT_EQ(a[1].text, b[1].text);
}

TEST(StreamingAsrManagerTests, ConfirmsTheHypothesisBeforeAConfidentWindow) {
  auto asr = started();
  auto updates = asr->transcriptionUpdates();
  streamInSeconds(*asr, speech(20, 25, 40.0));
  asr->finish();
  const auto received = drain(*updates);
  ASSERT_EQ(received.size(), 4u);
  for (const auto& u : received) EXPECT_TRUE(u.isConfirmed);
  // Each confident window promotes the one before it; the last stays volatile.
  EXPECT_EQ(asr->confirmedTranscript(), received[0].text + " " + received[1].text + " " + received[2].text);
  EXPECT_EQ(asr->volatileTranscript(), received[3].text);

  // Windows come when 13, 23, 33 and (flushed) 40 s have arrived: with 33 s
  // needed, the first two stay volatile, so the third confirms only the
  // second's text.
  StreamingAsrConfig patient = frameAligned();
  patient.minContextForConfirmation = 33.0;
  auto late = started(patient);
  auto lateUpdates = late->transcriptionUpdates();
  streamInSeconds(*late, speech(20, 25, 40.0));
  late->finish();
  const auto lateReceived = drain(*lateUpdates);
  ASSERT_EQ(lateReceived.size(), 4u);
  EXPECT_FALSE(lateReceived[0].isConfirmed);
  EXPECT_FALSE(lateReceived[1].isConfirmed);
  EXPECT_TRUE(lateReceived[2].isConfirmed);
  EXPECT_EQ(late->confirmedTranscript(), lateReceived[1].text + " " + lateReceived[2].text);

  auto unsure = started();
  auto unsureUpdates = unsure->transcriptionUpdates();
  streamInSeconds(*unsure, speech(20, 25, 40.0, 0.5f));
  EXPECT_EQ(unsure->finish(), words(20));
  for (const auto& u : drain(*unsureUpdates)) EXPECT_FALSE(u.isConfirmed);
  EXPECT_EQ(unsure->confirmedTranscript(), "");
}

TEST(StreamingAsrManagerTests, ResetStartsTheWindowsAgainFromTheNextBuffer) {
  auto asr = started();
  auto updates = asr->transcriptionUpdates();
  streamInSeconds(*asr, speech(4, 25, 12.5));
  ASSERT_TRUE(updates->pop());  // the first window has been recognised
  asr->reset();
  EXPECT_EQ(asr->volatileTranscript(), "");
  streamInSeconds(*asr, speech(4, 25, 12.5, 0.9f, 10));
  const auto after = updates->pop();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->text, words(4, 10));
  ASSERT_FALSE(after->tokenTimings.empty());
  EXPECT_NEAR(after->tokenTimings.front().startTime, 0.8, 1e-6) << "times count from the reset";
  EXPECT_EQ(asr->finish(), words(4, 10));
}

TEST(StreamingAsrManagerTests, ResetsWhileStreamingNeverBreakTheStream) {
  auto asr = started();
  std::thread resetter([&] {
    for (int i = 0; i < 20; ++i) {
      asr->reset();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  streamInSeconds(*asr, speech(20, 25, 40.0));
  resetter.join();
  const std::string text = asr->finish();
  // Whatever survived the resets is whole words of the stream, in order.
  const std::string all = words(20);
  EXPECT_NE(all.find(text), std::string::npos) << text;
}

TEST(StreamingAsrManagerTests, FinishWithoutAudioGivesNoText) {
  auto asr = started();
  auto updates = asr->transcriptionUpdates();
  EXPECT_EQ(asr->finish(), "");
  EXPECT_TRUE(drain(*updates).empty());
  EXPECT_EQ(asr->source(), AudioSource::microphone);

  StreamingAsrManager neverStarted;
  auto waiting = neverStarted.transcriptionUpdates();
  EXPECT_EQ(neverStarted.finish(), "");
  EXPECT_TRUE(waiting->isClosed()) << "a reader must not wait for updates that cannot come";
}

TEST(StreamingAsrManagerTests, CountsTheWindowsThatFailedAndGoesOn) {
  auto asr = started();
  auto updates = asr->transcriptionUpdates();
  std::vector<FrameDecision> decisions = {{10, 100}, {300, 102}};
  decisions.push_back({180, 101, 7});  // a duration bin the recogniser has not got: the second window fails
  asr->streamAudio(AudioPCMBuffer::fromChannels(16000.0, {asrtest::renderSpeech(decisions, 40 * 16000)}));
  EXPECT_EQ(asr->finish(), "alpha charlie");
  EXPECT_EQ(asr->failedWindows(), 1);
  EXPECT_EQ(drain(*updates).size(), 3u);
  asr->reset();
  EXPECT_EQ(asr->failedWindows(), 0);
}

TEST(StreamingAsrManagerTests, CancelRecognisesNothingMore) {
  auto asr = started();
  auto updates = asr->transcriptionUpdates();
  // One buffer: the first window is recognised and the rest waits for more audio.
  asr->streamAudio(AudioPCMBuffer::fromChannels(16000.0, {speech(8, 25, 18.0)}));
  ASSERT_TRUE(updates->pop());
  asr->cancel();
  EXPECT_EQ(asr->finish(), words(5)) << "the rest is not flushed after a cancel";
  EXPECT_FALSE(updates->pop());
}

TEST(StreamingAsrManagerTests, CancelEndsTheUpdates) {
  auto asr = started();
  auto updates = asr->transcriptionUpdates();
  asr->cancel();
  streamInSeconds(*asr, speech(4, 25, 13.0));  // dropped
  EXPECT_FALSE(updates->pop());
  EXPECT_THROW(asr->start(asrtest::fixtureModels(), AudioSource::system), StreamingAsrError);
}

}  // namespace
}  // namespace voxtrellis::test
