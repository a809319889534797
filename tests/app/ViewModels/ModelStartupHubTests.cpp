// Model start-up against a model hub on 127.0.0.1 (named by REGISTRY_URL) that misbehaves:
// start-up ends in `failed` with a plain headline naming the hub and the engine's text as the
// details, nothing half-fetched is used by a later start, and "Try Again" (reset) starts the
// models again once the hub answers properly; models copied into the cache folder after a failed
// start are used.

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
    const char* details;  // part of the engine's text, shown as the details
    const char* headline;
  };
  const char* unreachable = "The speech models could not be downloaded from ";
  const std::vector<Case> cases = {
      {Fault::closeMidFile, "transfer closed", unreachable},
      {Fault::wrongSize, "bytes", unreachable},
      {Fault::wrongHash, "SHA-256", unreachable},
      {Fault::htmlListing, "parse error", unreachable},
      {Fault::redirectLoop, "redirect", unreachable},
      {Fault::serverError, "HTTP status 500", unreachable},
      {Fault::noSuchRepository, "HTTP status 401", "The speech models are not on "},
  };
  const QString hubName = QUrl(QString::fromStdString(hub.baseUrl())).authority();
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    fs::remove_all(models.path() / "parakeet-tdt-0.6b-v3-onnx");
    fs::remove_all(models.path() / "speaker-diarization-onnx");
    hub.fault = c.fault;
    Harness h(engine());
    h.vm->initializeModels();
    ASSERT_TRUE(endsLoading(h));
    ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed);
    const ErrorInfo& error = *h.vm->state().error();
    EXPECT_EQ(error.message, c.headline + hubName);
    EXPECT_NE(error.details.value_or("").indexOf(c.details, 0, Qt::CaseInsensitive), -1)
        << error.details.value_or("").toStdString();
    EXPECT_TRUE(error.nextStep.value_or("").contains("\"Getting the speech models\" in the README"));

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

// The README's road in its order: the first start finds no models (the hub does not hold the
// repositories), then real models are copied into the cache folder, and the next start loads them
// without asking the hub.
TEST_F(ModelStartupHubTest, ModelsCopiedInAfterAFailedFirstStartAreLoadedWithoutTheHub) {
  hub.fault = Fault::noSuchRepository;
  {
    Harness first(engine());
    first.vm->initializeModels();
    ASSERT_TRUE(endsLoading(first));
    ASSERT_EQ(first.vm->state().kind(), ProcessingState::Kind::failed);
  }
  for (const char* repository : {"asr/parakeet-tdt-0.6b-v3-onnx", "diarizer/speaker-diarization-onnx"}) {
    const fs::path from = testsupport::fixturesDir() / repository;
    fs::copy(from, models.path() / from.filename(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }
  const int asked = hub.requests;
  Harness h(engine());
  h.vm->initializeModels();
  ASSERT_TRUE(endsLoading(h));
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::modelsReady) << h.vm->statusMessage().toStdString();
  EXPECT_EQ(hub.requests, asked);
}

// The same road with one copied file damaged and no hub to answer: the error screen says the
// models could not be loaded, names the file and why, and every copied file is still there.
TEST_F(ModelStartupHubTest, ACopiedModelThatDoesNotLoadIsNamedAndNothingCopiedIsDeleted) {
  qputenv("REGISTRY_URL", "http://127.0.0.1:9");
  const fs::path from = testsupport::fixturesDir() / "asr/parakeet-tdt-0.6b-v3-onnx";
  const fs::path folder = models.path() / from.filename();
  fs::copy(from, folder, fs::copy_options::recursive);
  const fs::path damaged = folder / "Encoder.mlmodelc" / "model.onnx";
  fs::resize_file(damaged, fs::file_size(damaged) / 2);
  std::vector<fs::path> copied;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) copied.push_back(entry.path());

  Harness h(engine());
  h.vm->initializeModels();
  ASSERT_TRUE(endsLoading(h));
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed);
  const ErrorInfo& error = *h.vm->state().error();
  EXPECT_EQ(error.message, "The speech models could not be loaded");
  const QString details = error.details.value_or("");
  EXPECT_TRUE(details.startsWith("Failed to load ONNX model " + QString::fromStdString(damaged.string())))
      << details.toStdString();
  EXPECT_TRUE(details.contains("No fresh copy could be downloaded from 127.0.0.1:9")) << details.toStdString();
  for (const auto& path : copied) EXPECT_TRUE(fs::exists(path)) << path;
  EXPECT_EQ(fs::file_size(damaged), fs::file_size(from / "Encoder.mlmodelc" / "model.onnx") / 2);
}

}  // namespace
