#include <voxtrellis/ASRError.h>
#include <voxtrellis/StreamingAsrSession.h>

#include "engine/ASR/AsrTestSupport.h"
#include "engine/Shared/LogCapture.h"

#include <gtest/gtest.h>

namespace voxtrellis::test {
namespace {

// A session whose model loads are counted (and can be made to fail).
struct CountingSession {
  int loads = 0;
  bool failLoading = false;
  bool brokenModels = false;
  StreamingAsrSession session{[this] {
    ++loads;
    if (failLoading) throw std::runtime_error("no models here");
    AsrModels models = asrtest::fixtureModels();
    if (brokenModels) models.decoder.reset();  // the manager cannot prime its decoder state
    return models;
  }};
};

TEST(StreamingAsrSessionTests, KeepsOneManagerPerSourceOnSharedModels) {
  LogCapture log;
  CountingSession s;
  auto microphone = s.session.createStream(AudioSource::microphone, StreamingAsrConfig::streaming());
  auto again = s.session.createStream(AudioSource::microphone, StreamingAsrConfig::defaultConfig());
  EXPECT_EQ(microphone, again);
  EXPECT_EQ(again->chunkSamples(), 137 * 1280) << "the second request's configuration is ignored";
  EXPECT_TRUE(log.contains("Stream already exists for source: microphone. Returning existing stream."));
  auto system = s.session.createStream(AudioSource::system);
  EXPECT_NE(system, microphone);
  EXPECT_EQ(system->source(), AudioSource::system);
  EXPECT_EQ(s.loads, 1);
  EXPECT_EQ(s.session.activeStreams().size(), 2u);
  s.session.initialize();
  EXPECT_TRUE(log.contains("Models already loaded, skipping initialization"));

  s.session.removeStream(AudioSource::system);
  EXPECT_EQ(s.session.getStream(AudioSource::system), nullptr);
  const auto before = log.messages("StreamingSession").size();
  s.session.removeStream(AudioSource::system);
  EXPECT_EQ(log.messages("StreamingSession").size(), before) << "nothing to remove logs nothing";
  EXPECT_EQ(system->finish(), "") << "a removed manager keeps working";

  s.session.cleanup();
  EXPECT_TRUE(s.session.activeStreams().empty());
  EXPECT_FALSE(microphone->transcriptionUpdates()->pop()) << "cleanup cancelled the manager";
  s.session.createStream(AudioSource::microphone);
  EXPECT_EQ(s.loads, 2) << "models are loaded again after cleanup";
}

TEST(StreamingAsrSessionTests, FailuresStoreNothing) {
  CountingSession s;
  s.failLoading = true;
  EXPECT_THROW(s.session.createStream(AudioSource::microphone), std::runtime_error);
  EXPECT_TRUE(s.session.activeStreams().empty());
  s.failLoading = false;
  s.brokenModels = true;
  EXPECT_THROW(s.session.createStream(AudioSource::microphone), ASRError);
  EXPECT_TRUE(s.session.activeStreams().empty());
}

}  // namespace
}  // namespace voxtrellis::test
