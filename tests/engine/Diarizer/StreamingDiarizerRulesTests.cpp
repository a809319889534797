// The chunked diarizer's small rules, each with a signal on which getting it
// wrong changes the answer: the powerset tie, a short clip repeated to fill
// the embedding window, the overlap frames left out of every voice's mask,
// and chunks that overlap.
#include <voxtrellis/DiarizerManager.h>

#include "Diarizer/Extraction/EmbeddingExtractor.h"
#include "Diarizer/Segmentation/SegmentationProcessor.h"
#include "engine/Diarizer/StreamingDiarizerTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace voxtrellis;
using namespace streamtest;

namespace {

constexpr std::size_t kFrames = 589;  // segmentation frames of a 10 s window
constexpr std::size_t kHop = 270;     // samples per frame

std::vector<float> repeated(const std::vector<float>& values, std::size_t count) {
  std::vector<float> out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = values[i % values.size()];
  return out;
}

// `frames` whole frames, voice A in the even ones and voice B in the odd ones.
std::vector<float> alternatingVoices(std::size_t frames) {
  std::vector<float> audio(frames * kHop);
  for (std::size_t n = 0; n < audio.size(); ++n) {
    const double hz = (n / kHop) % 2 == 0 ? kVoiceA : kVoiceB;
    audio[n] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * hz * static_cast<double>(n) / kRate));
  }
  return audio;
}

std::unique_ptr<DiarizerManager> diarizer(DiarizerConfig config = {}) {
  auto d = std::make_unique<DiarizerManager>(config);
  d->initialize(loadModels());
  return d;
}

}  // namespace

TEST(StreamingSegmentation, TiesGoToTheLowerClassSoEqualScoresAreSilence) {
  // This model answers its input's first 589 × 7 samples as the scores.
  const auto model = PyannoteSegmentationModel::load(brokenModel("SegmentationScoresFromAudio"), ComputeUnits::cpuOnly);
  std::vector<float> scores(160000, 0.0f);               // every frame all zeros...
  const std::vector<float> tie = {0, 5, 0, 0, 5, 0, 0};  // ...but frame 1: slot 0 alone against slots 0 and 1
  const std::vector<float> clear = {-1, 2, 7, 0, 3, 0, 0};
  std::copy(tie.begin(), tie.end(), scores.begin() + 7);
  std::copy(clear.begin(), clear.end(), scores.begin() + 14);
  SegmentationProcessor processor;
  const auto frames = processor.getSegments(scores, *model, 160000)[0];
  ASSERT_EQ(frames.size(), kFrames);
  EXPECT_EQ(frames[0], (std::vector<float>{0, 0, 0}));
  EXPECT_EQ(frames[1], (std::vector<float>{1, 0, 0}));
  EXPECT_EQ(frames[2], (std::vector<float>{0, 1, 0}));
  EXPECT_EQ(frames[kFrames - 1], (std::vector<float>{0, 0, 0}));
}

// A clip shorter than the window is repeated to fill it, and so is the part
// of each mask it covers (its share of the frames, rounded half up). Voices
// alternating frame by frame make a mask that lands a frame off pick the
// other voice, so the vector is the long call's only when all three hold.
TEST(StreamingEmbeddings, AShortClipAndItsMaskAreRepeatedToFillTheWindow) {
  EmbeddingExtractor extractor(loadModels().embeddingModel);
  // 100 frames cover 99.4 of the mask's (99); 50 frames cover 49.7 (50).
  for (const std::size_t clipFrames : {std::size_t{100}, std::size_t{50}}) {
    SCOPED_TRACE(clipFrames);
    const auto clip = alternatingVoices(clipFrames);
    const std::size_t covered = (kFrames * clip.size() + 80000) / 160000;
    std::vector<float> pattern(covered);
    for (std::size_t f = 0; f < covered; f += 2) pattern[f] = 1.0f;  // voice A's frames of the first pass
    std::vector<float> mask(kFrames, 0.0f);                          // past `covered`: never read
    std::copy(pattern.begin(), pattern.end(), mask.begin());

    const auto shortCall = extractor.getEmbeddings(clip, {mask}, 1)[0];
    const auto longCall = extractor.getEmbeddings(repeated(clip, 160000), {repeated(pattern, kFrames)}, 1)[0];
    ASSERT_EQ(shortCall.size(), longCall.size());
    for (std::size_t i = 0; i < longCall.size(); ++i) ASSERT_NEAR(shortCall[i], longCall[i], 1e-4) << i;
  }
}

TEST(DiarizerManager, FramesWhereTwoSlotsSoundGiveNoVoiceToEither) {
  auto a = silence(10);
  addTone(a, kVoiceA, 0, 8);
  auto b = silence(10);
  addTone(b, kVoiceB, 0, 8);
  auto referenceA = diarizer();
  referenceA->performCompleteDiarization(a);
  auto referenceB = diarizer();
  referenceB->performCompleteDiarization(b);
  const auto voiceA = referenceA->speakerManager().getSpeaker("1")->currentEmbedding;
  const auto voiceB = referenceB->speakerManager().getSpeaker("1")->currentEmbedding;

  // Two seconds of both voices between A alone and B alone: each voice's
  // vector comes from its own frames only.
  auto both = silence(10);
  addTone(both, kVoiceA, 0, 6);
  addTone(both, kVoiceB, 4, 10);
  auto d = diarizer();
  d->performCompleteDiarization(both);
  ASSERT_EQ(d->speakerManager().speakerCount(), 2);
  for (const char* id : {"1", "2"}) {
    const auto& embedding = d->speakerManager().getSpeaker(id)->currentEmbedding;
    EXPECT_GT(std::max(cosine(embedding, voiceA), cosine(embedding, voiceB)), 0.9999f) << id;
  }
}

TEST(DiarizerManager, OverlappingChunksEachDiarizeWhatTheyHold) {
  // Chunks of 10 s every 5 s start at 0, 5, 10 and 15 s: voice A (6–8 s) is
  // in the first two, voice B (12–14 s) in the second and third.
  DiarizerConfig config;
  config.chunkOverlap = 5;
  auto audio = silence(20);
  addTone(audio, kVoiceA, 6, 8);
  addTone(audio, kVoiceB, 12, 14);
  const auto segments = diarizer(config)->performCompleteDiarization(audio).segments;
  const struct {
    double start, end;
    const char* speaker;
  } expected[] = {{6, 8, "1"}, {6, 8, "1"}, {12, 14, "2"}, {12, 14, "2"}};
  ASSERT_EQ(segments.size(), std::size(expected));
  for (std::size_t i = 0; i < segments.size(); ++i) {
    EXPECT_EQ(segments[i].speakerId, expected[i].speaker) << i;
    EXPECT_NEAR(segments[i].startTimeSeconds, expected[i].start, 0.05) << i;
    EXPECT_NEAR(segments[i].endTimeSeconds, expected[i].end, 0.05) << i;
  }
}
