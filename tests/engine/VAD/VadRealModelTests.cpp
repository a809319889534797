// The detector on the real voice-activity network (beside the project, in
// ../shared/models/silero-vad) with recorded speech from Debian's
// pocketsphinx-testdata. Only speech / no-speech decisions are relied on.
#include "engine/VAD/VadTestSupport.h"

#include <voxtrellis/AudioConverter.h>

#include <gtest/gtest.h>

#include <random>

namespace voxtrellis::test {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> realModel() {
  // Beside the project's root, or beside the folder of work trees.
  for (const fs::path& base :
       {testsupport::sourceDir().parent_path(), testsupport::sourceDir().parent_path().parent_path()}) {
    const fs::path candidate = base / "shared" / "models" / "silero-vad" / "model.onnx";
    if (fs::exists(candidate)) return candidate;
  }
  return std::nullopt;
}

std::vector<fs::path> speechClips() {
  std::vector<fs::path> clips;
  const fs::path folder = "/usr/share/pocketsphinx/test/data/librivox";
  if (!fs::is_directory(folder)) return clips;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".wav") clips.push_back(entry.path());
  }
  std::sort(clips.begin(), clips.end());
  return clips;
}

class VadRealModelTests : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto model = realModel();
    if (!model) GTEST_SKIP() << "the real voice-activity model ../shared/models/silero-vad/model.onnx is absent";
    clips = speechClips();
    ASSERT_FALSE(clips.empty()) << "pocketsphinx-testdata is not installed (tools/install-deps installs it)";
    VadConfig config;
    config.defaultThreshold = 0.5f;
    vad = std::make_unique<VadManager>(config, OnnxModel::loadFile(*model));
  }

  std::unique_ptr<VadManager> vad;
  std::vector<fs::path> clips;
};

TEST_F(VadRealModelTests, FindsSpeechInEverySpeechClip) {
  for (const fs::path& clip : clips) {
    SCOPED_TRACE(clip.filename().string());
    const std::vector<float> audio = AudioConverter().resampleAudioFile(clip);
    const std::vector<VadResult> results = vad->process(audio);
    const auto voiced =
        std::count_if(results.begin(), results.end(), [](const VadResult& r) { return r.isVoiceActive; });
    EXPECT_GT(voiced * 2, static_cast<long>(results.size())) << "most chunks of a speech clip are speech";
    const auto segments = vad->segmentSpeech(results, static_cast<int64_t>(audio.size()));
    ASSERT_FALSE(segments.empty());
    double previousEnd = 0;
    for (const VadSegment& s : segments) {
      EXPECT_GE(s.startTime, previousEnd);
      EXPECT_GT(s.endTime, s.startTime);
      EXPECT_LE(s.endTime, audio.size() / 16000.0);
      previousEnd = s.endTime;
    }
  }
}

TEST_F(VadRealModelTests, FindsNoSpeechInSilenceOrFaintNoise) {
  std::vector<float> silence(16000 * 5, 0.0f);
  std::vector<float> noise(16000 * 5);
  std::mt19937 random(7);
  std::normal_distribution<float> gaussian(0.0f, 0.01f);
  for (float& s : noise) s = gaussian(random);
  for (const auto* audio : {&silence, &noise}) {
    for (const VadResult& r : vad->process(*audio)) EXPECT_LT(r.probability, 0.1f);
    EXPECT_TRUE(vad->segmentSpeech(*audio).empty());
  }
}

TEST_F(VadRealModelTests, StreamsStartAndEndEventsInOrder) {
  // Two clips with two seconds of silence around each.
  std::vector<float> stream(32000, 0.0f);
  for (std::size_t k = 0; k < 2; ++k) {
    const std::vector<float> audio = AudioConverter().resampleAudioFile(clips[k]);
    stream.insert(stream.end(), audio.begin(), audio.end());
    stream.insert(stream.end(), 32000, 0.0f);
  }
  VadStreamState state = vad->makeStreamState();
  std::vector<VadStreamEvent> events;
  for (std::size_t start = 0; start < stream.size(); start += VadManager::chunkSize) {
    const std::size_t n = std::min<std::size_t>(VadManager::chunkSize, stream.size() - start);
    const VadStreamResult r =
        vad->processStreamingChunk(std::span<const float>(stream).subspan(start, n), state, {}, true, 3);
    if (r.event) events.push_back(*r.event);
    state = r.state;
  }
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events.size() % 2, 0u);
  EXPECT_FALSE(state.triggered) << "the stream ends in silence";
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].isStart(), i % 2 == 0) << "event " << i;
    if (i > 0) {
      EXPECT_GT(events[i].sampleIndex, events[i - 1].sampleIndex);
    }
  }
  EXPECT_GE(events.front().sampleIndex, 32000 - 4096 - 1600) << "no speech in the leading silence";
}

}  // namespace
}  // namespace voxtrellis::test
