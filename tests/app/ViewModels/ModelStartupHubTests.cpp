// Model start-up against a model hub on 127.0.0.1 (named by REGISTRY_URL) that misbehaves:
// start-up ends in `failed` with the engine's text, nothing half-fetched is used by a later
// start, and "Try Again" (reset) starts the models again once the hub answers properly.

#include "app/ViewModels/ModelHubTestSupport.h"
#include "app/ViewModels/PipelineTestSupport.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

using namespace pipelinetest;
using modelhubtest::Fault;
using modelhubtest::GeneratedModelHub;

namespace {

namespace fs = std::filesystem;

class ModelStartupHubTest : public ::testing::Test {
 protected:
  void SetUp() override { qputenv("REGISTRY_URL", QByteArray::fromStdString(hub.baseUrl())); }
  void TearDown() override { qunsetenv("REGISTRY_URL"); }

  // The real engine over a model cache folder of this test's own.
  std::shared_ptr<SpeechEngine> engine() const {
    VoxtrellisSpeechEngine::ModelFolders folders;
    folders.recognizer = models.path() / "parakeet-tdt-0.6b-v3-onnx";
    folders.diarizer = models.path();
    return std::make_shared<VoxtrellisSpeechEngine>(folders);
  }
  static bool endsLoading(Harness& h) {
    return testsupport::waitUntil([&] { return h.vm->state().kind() != ProcessingState::Kind::loadingModels; }, 60000);
  }

  GeneratedModelHub hub;
  testsupport::TempDir models{"pv-models"};
};

TEST_F(ModelStartupHubTest, AMisbehavingHubEndsInTheErrorScreenAndTryAgainRecoversOnceItIsWell) {
  struct Case {
    Fault fault;
    const char* message;  // part of the error screen's text
  };
  const std::vector<Case> cases = {
      {Fault::closeMidFile, "transfer closed"},
      {Fault::wrongSize, "bytes"},
      {Fault::wrongHash, "SHA-256"},
      {Fault::htmlListing, "parse error"},
      {Fault::redirectLoop, "redirect"},
      {Fault::serverError, "HTTP status 500"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    fs::remove_all(models.path() / "parakeet-tdt-0.6b-v3-onnx");
    fs::remove_all(models.path() / "speaker-diarization-onnx");
    hub.fault = c.fault;
    Harness h(engine());
    h.vm->initializeModels();
    ASSERT_TRUE(endsLoading(h));
    ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed);
    EXPECT_NE(h.vm->statusMessage().indexOf(c.message, 0, Qt::CaseInsensitive), -1)
        << h.vm->statusMessage().toStdString();

    // A later start with the hub still faulty does not take what the first one left.
    {
      Harness again(engine());
      again.vm->initializeModels();
      ASSERT_TRUE(endsLoading(again));
      EXPECT_EQ(again.vm->state().kind(), ProcessingState::Kind::failed);
    }

    // The hub recovers: "Try Again" starts the models and a file goes through.
    hub.fault = Fault::none;
    h.vm->reset();
    ASSERT_TRUE(endsLoading(h));
    ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::modelsReady) << h.vm->statusMessage().toStdString();
    writeFloatWav(h.dir / "talk.wav", twoVoices());
    h.vm->processFile(QUrl::fromLocalFile(h.path("talk.wav")));
    ASSERT_TRUE(h.settle());
    EXPECT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
  }
}

}  // namespace
