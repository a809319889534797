#include <voxtrellis/ASRError.h>
#include <voxtrellis/StreamingEouAsrManager.h>

#include "Onnx/ModelRuntimeError.h"
#include "engine/ASR/Streaming/EouTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <limits>

namespace voxtrellis::test {
namespace {

namespace fs = std::filesystem;

const std::vector<float> kSilence(1280, 0.0f);  // one ms160 shift

// A recogniser on the generated models that records its callbacks.
struct Recorder {
  StreamingEouAsrManager asr{AsrModelConfiguration{}, StreamingChunkSize::ms160, 1280, true};
  std::vector<std::string> partials;
  std::vector<std::string> ends;

  explicit Recorder(const fs::path& models = eouFolder()) {
    asr.loadModels(models);
    asr.setPartialCallback([this](const std::string& text) { partials.push_back(text); });
    asr.setEouCallback([this](const std::string& text) { ends.push_back(text); });
  }
  // Silent shifts until the end of utterance is confirmed; the count, or -1.
  int silenceUntilEnd(int limit = 40) {
    const std::size_t before = ends.size();
    for (int n = 1; n <= limit; ++n) {
      asr.process(buffer(kSilence));
      if (ends.size() > before) return n;
    }
    return -1;
  }
};

TEST(StreamingEouAsrManagerTests, DescribesEveryChunkSize) {
  struct Case {
    StreamingChunkSize size;
    int chunk, mel, valid, shift, ms, preCache;
    const char* folder;
  };
  for (const Case& c : {Case{StreamingChunkSize::ms160, 2560, 17, 2, 1280, 160, 16, "160ms"},
                        Case{StreamingChunkSize::ms320, 10080, 64, 4, 5120, 630, 9, "320ms"},
                        Case{StreamingChunkSize::ms1600, 50928, 320, 20, 25600, 3183, 9, "1600ms"}}) {
    EXPECT_EQ(c.size.chunkSamples(), c.chunk);
    EXPECT_EQ(c.size.melFrames(), c.mel);
    EXPECT_EQ(c.size.validOutputLen(), c.valid);
    EXPECT_EQ(c.size.shiftSamples(), c.shift);
    EXPECT_EQ(c.size.durationMs(), c.ms);
    EXPECT_EQ(c.size.preCacheSize(), c.preCache);
    EXPECT_EQ(c.size.modelSubdirectory(), c.folder);
  }
}

TEST(StreamingEouAsrManagerTests, DecodesEachChunkOnceItIsComplete) {
  Recorder r;
  const std::vector<float> speech = noise(2560 + 1280, 0.05f);
  EXPECT_EQ(r.asr.process(buffer({speech.begin(), speech.begin() + 2559})), "");
  EXPECT_TRUE(r.partials.empty()) << "less than a chunk decodes nothing";
  r.asr.process(buffer({speech.begin() + 2559, speech.begin() + 2560}));
  r.asr.process(buffer({speech.begin() + 2560, speech.end()}));
  // The whole transcript each time; the counter in each word shows the caches carried.
  EXPECT_EQ(r.partials, (std::vector<std::string>{"w0", "w0 w1"}));
}

TEST(StreamingEouAsrManagerTests, ConfirmsTheEndOfUtteranceAfterTheDebounce) {
  Recorder r;
  r.asr.process(buffer(noise(2560, 0.05f)));
  // The first silent chunk starts the candidate; 1280 ms later (16 chunks) it is confirmed.
  EXPECT_EQ(r.silenceUntilEnd(), 17);
  EXPECT_EQ(r.ends, std::vector<std::string>{"w0"});
  EXPECT_TRUE(r.asr.eouDetected());
  EXPECT_EQ(r.silenceUntilEnd(20), -1) << "one callback until reset";

  r.asr.reset();
  EXPECT_FALSE(r.asr.eouDetected());
  r.asr.process(buffer(noise(2560, 0.05f)));
  for (int i = 0; i < 10; ++i) r.asr.process(buffer(kSilence));
  // Speech in between drops the candidate: the count starts again.
  r.asr.process(buffer(noise(2560, 0.05f, 9)));
  EXPECT_EQ(r.silenceUntilEnd(), 17);
  EXPECT_EQ(r.ends.back(), "w0 w12");  // chunk 11 is half silence

  r.asr.reset();
  r.asr.setEouDebounceMs(0);
  r.asr.process(buffer(noise(2560, 0.05f)));
  EXPECT_EQ(r.silenceUntilEnd(), 1);
}

TEST(StreamingEouAsrManagerTests, AnEndOfUtteranceInAChunkWithWordsRestartsTheDebounce) {
  // Speech decided per encoder frame: a chunk whose first half is speech
  // and second half silence gives a word, then the end of utterance.
  Recorder r(eouFolder("160ms-frames"));
  r.asr.process(buffer(noise(2560, 0.05f)));
  // The first silent shift leaves half a chunk of speech: word and end
  // together start no candidate; the next chunk starts it, 16 later it holds.
  EXPECT_EQ(r.silenceUntilEnd(), 18);
  EXPECT_EQ(r.ends.back(), "w0 w1");

  r.asr.reset();
  r.asr.process(buffer(noise(2560, 0.05f)));
  for (int i = 0; i < 5; ++i) r.asr.process(buffer(kSilence));  // a candidate from the second
  r.asr.process(buffer(noise(1280, 0.05f)));                    // silence first: the end alone, it goes on
  r.asr.process(buffer(kSilence));                              // speech first: a word drops it
  EXPECT_EQ(r.silenceUntilEnd(), 17);
  EXPECT_EQ(r.ends.back(), "w0 w1 w7");
}

TEST(StreamingEouAsrManagerTests, FinishDecodesAllBufferedAudio) {
  Recorder r;
  // Four chunks' worth appended without decoding, then the rest of a fifth.
  r.asr.appendAudio(buffer(noise(2560 + 3 * 1280, 0.05f)));
  r.asr.injectSilence(0.05);
  EXPECT_EQ(r.asr.finish(), "w0 w1 w2 w3");
  EXPECT_EQ(r.asr.finish(), "") << "tokens are handed out once";

  // A short remainder is one zero-padded chunk.
  Recorder shortTail;
  shortTail.asr.process(buffer(noise(2000, 0.3f)));
  EXPECT_EQ(shortTail.asr.finish(), "w0");

  StreamingEouAsrManager unloaded;
  EXPECT_EQ(unloaded.finish(), "");
}

TEST(StreamingEouAsrManagerTests, AFailedChunkChangesNothingAndStaysBuffered) {
  Recorder r;
  // A very loud chunk at counter 0 makes the joint network fail. Had the
  // encoder caches been kept, the retry would see counter 1 and succeed.
  EXPECT_ANY_THROW(r.asr.process(buffer(noise(2560, 0.9f))));
  EXPECT_ANY_THROW(r.asr.process(buffer({})));
  EXPECT_ANY_THROW(r.asr.finish());
  r.asr.reset();
  r.asr.process(buffer(noise(2560, 0.05f)));
  EXPECT_EQ(r.asr.finish(), "w0");
  EXPECT_EQ(r.partials, std::vector<std::string>{"w0"});
}

TEST(StreamingEouAsrManagerTests, ACallbackMayFeedTheRecogniserAgain) {
  Recorder r;
  int calls = 0;
  r.asr.setPartialCallback([&](const std::string& text) {
    r.partials.push_back(text);
    if (++calls < 10) r.asr.process(buffer({}));  // re-entrant: must not decode a chunk twice
  });
  r.asr.process(buffer(noise(2560 + 3 * 1280, 0.05f)));
  EXPECT_EQ(r.partials, (std::vector<std::string>{"w0", "w0 w1", "w0 w1 w2", "w0 w1 w2 w3"}));
}

TEST(StreamingEouAsrManagerTests, RefusesToDecodeWithoutModels) {
  StreamingEouAsrManager asr;
  EXPECT_EQ(asr.process(buffer(std::vector<float>(2000, 0.1f))), "");
  try {
    asr.process(buffer(std::vector<float>(600, 0.1f)));
    FAIL();
  } catch (const ASRError& e) {
    EXPECT_EQ(e.code(), ASRError::Code::notInitialized);
  }
}

TEST(StreamingEouAsrManagerTests, TakesOnlyFiniteNonNegativeSilence) {
  Recorder r;
  for (double bad : {-1.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e12})
    EXPECT_THROW(r.asr.injectSilence(bad), std::invalid_argument);
  r.asr.setEouDebounceMs(0);
  r.asr.injectSilence(0.16);  // exactly one chunk
  r.asr.process(buffer({}));
  EXPECT_EQ(r.ends.size(), 1u);
}

TEST(StreamingEouAsrManagerTests, SavesTheCollectedFeatures) {
  testsupport::TempDir dir;
  Recorder r;
  r.asr.process(buffer(noise(2560 + 2 * 1280, 0.05f)));
  r.asr.saveDebugFeatures(dir / "features.json");
  std::ifstream in(dir / "features.json");
  const auto json = nlohmann::json::parse(in);
  EXPECT_EQ(json.at("count"), 3 * 128 * 17);
  EXPECT_EQ(json.at("mel_features").size(), 3u * 128 * 17);
  EXPECT_THROW(r.asr.saveDebugFeatures(dir / "missing" / "features.json"), std::runtime_error);
}

TEST(StreamingEouAsrManagerTests, AFailedLoadKeepsTheModelsInUse) {
  Recorder r;
  r.asr.process(buffer(noise(2560, 0.05f)));
  // The other variant's encoder and prediction network with a joint network that does not load.
  testsupport::TempDir dir;
  for (const char* name : {"streaming_encoder.mlmodelc", "decoder.mlmodelc", "vocab.json"}) {
    fs::create_symlink(eouFolder("320ms") / name, dir / name);
  }
  fs::create_symlink(testsupport::fixturesDir() / "streaming/eou-wrong-joint/joint_decision.mlmodelc",
                     dir / "joint_decision.mlmodelc");
  EXPECT_THROW(r.asr.loadModels(dir.path()), ModelRuntimeError);
  r.asr.process(buffer(noise(1280, 0.05f, 4)));
  EXPECT_EQ(r.asr.finish(), "w0 w1") << "the stream goes on with the whole old set";
}

TEST(StreamingEouAsrManagerTests, ChecksTheModelsWhenTheyLoad) {
  testsupport::TempDir dir;
  for (const char* name : {"streaming_encoder.mlmodelc", "decoder.mlmodelc", "vocab.json"}) {
    fs::create_symlink(eouFolder() / name, dir / name);
  }
  fs::create_symlink(testsupport::fixturesDir() / "streaming/eou-wrong-joint/joint_decision.mlmodelc",
                     dir / "joint_decision.mlmodelc");
  StreamingEouAsrManager asr;
  EXPECT_THROW(asr.loadModels(dir.path()), ModelRuntimeError);
  EXPECT_THROW(asr.loadModels(dir / "nowhere"), ModelRuntimeError);

  // The prediction network in the encoder's place.
  testsupport::TempDir swapped;
  fs::create_symlink(eouFolder() / "decoder.mlmodelc", swapped / "streaming_encoder.mlmodelc");
  try {
    asr.loadModels(swapped.path());
    FAIL() << "a model without audio_signal loaded as the encoder";
  } catch (const ModelRuntimeError& e) {
    EXPECT_EQ(e.kind(), ModelRuntimeError::Kind::interfaceMismatch);
  }
}

}  // namespace
}  // namespace voxtrellis::test
