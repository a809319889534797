// Model start-up against a model hub on 127.0.0.1 (named by REGISTRY_URL) that misbehaves:
// start-up ends in `failed` with a plain headline naming the hub and the engine's text as the
// details, nothing half-fetched is used by a later start, and "Try Again" (reset) starts the
// models again once the hub answers properly; models copied into the cache folder after a failed
// start are used. The user's files are never given up for a hub's copy that does not load, and
// quitting during a download ends the program.

#include "App/Application.h"
#include "Views/Shell/MainWindow.h"
#include "app/ViewModels/ModelHubTestSupport.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/QuitInChild.h"
#include "support/ScopedSettingsFolder.h"
#include "support/TimeLeft.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <vector>

using namespace pipelinetest;
using modelhubtest::Fault;
using modelhubtest::GeneratedModelHub;

namespace {

namespace fs = std::filesystem;

// Both model folders as the README says to copy them into the cache folder.
void copyInBothFolders(const fs::path& models) {
  for (const char* repository : {"asr/parakeet-tdt-0.6b-v3-onnx", "diarizer/speaker-diarization-onnx"}) {
    const fs::path from = testsupport::fixturesDir() / repository;
    fs::copy(from, models / from.filename(), fs::copy_options::recursive);
  }
}

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
  // Starts the models in a view model of its own: the error the start ends in, none when it
  // ends otherwise.
  std::optional<ErrorInfo> failedStart() const {
    Harness h(engine());
    h.vm->initializeModels();
    if (!endsLoading(h) || h.vm->state().kind() != ProcessingState::Kind::failed) return std::nullopt;
    return *h.vm->state().error();
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
    EXPECT_TRUE(failedStart());

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
  ASSERT_TRUE(failedStart());
  copyInBothFolders(models.path());
  const int asked = hub.requests;
  Harness h(engine());
  h.vm->initializeModels();
  ASSERT_TRUE(endsLoading(h));
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::modelsReady) << h.vm->statusMessage().toStdString();
  EXPECT_EQ(hub.requests, asked);
}

// What differs between two snapshots of a folder: "missing", "changed" or "new", and the file.
std::vector<std::string> changedFiles(const std::map<std::string, std::string>& before,
                                      const std::map<std::string, std::string>& after) {
  std::vector<std::string> changes;
  for (const auto& [file, content] : before) {
    const auto now = after.find(file);
    if (now == after.end())
      changes.push_back("missing " + file);
    else if (now->second != content)
      changes.push_back("changed " + file);
  }
  for (const auto& [file, content] : after) {
    if (!before.count(file)) changes.push_back("new " + file);
  }
  return changes;
}

// The README's road with one copied file cut in half: every file the app loads in turn, with no
// hub, a hub that fails every request and a hub that drops every file midway. The start-up
// screen names the file and its folder in plain words, with the engine's reason beneath, and
// every copied file is still there as it was: no hub that cannot give a whole copy leaves the
// user with less.
TEST_F(ModelStartupHubTest, ADamagedCopiedFileIsNamedAndEveryCopiedFileIsKeptWhenNoWholeCopyCanBeHad) {
  const std::pair<const char*, const char*> files[] = {
      {"parakeet-tdt-0.6b-v3-onnx", "Preprocessor.mlmodelc/model.onnx"},
      {"parakeet-tdt-0.6b-v3-onnx", "Encoder.mlmodelc/model.onnx"},
      {"parakeet-tdt-0.6b-v3-onnx", "Decoder.mlmodelc/model.onnx"},
      {"parakeet-tdt-0.6b-v3-onnx", "JointDecision.mlmodelc/model.onnx"},
      {"parakeet-tdt-0.6b-v3-onnx", "parakeet_vocab.json"},
      {"speaker-diarization-onnx", "Segmentation.mlmodelc/model.onnx"},
      {"speaker-diarization-onnx", "FBank.mlmodelc/model.onnx"},
      {"speaker-diarization-onnx", "Embedding.mlmodelc/model.onnx"},
      {"speaker-diarization-onnx", "PldaRho.mlmodelc/model.onnx"},
      {"speaker-diarization-onnx", "plda-parameters.json"},
  };
  struct Hub {
    const char* name;
    Fault fault;
    bool reachable;
  };
  for (const Hub& hubCase :
       {Hub{"no hub", Fault::none, false}, Hub{"a hub failing every request", Fault::serverError, true},
        Hub{"a hub dropping every file midway", Fault::closeMidFile, true}}) {
    qputenv("REGISTRY_URL", hubCase.reachable ? QByteArray::fromStdString(hub.baseUrl()) : "http://127.0.0.1:9");
    hub.fault = hubCase.fault;
    for (const auto& [folderName, file] : files) {
      SCOPED_TRACE(std::string(hubCase.name) + ", " + file);
      for (const auto& entry : fs::directory_iterator(models.path())) fs::remove_all(entry.path());
      copyInBothFolders(models.path());
      const fs::path folder = models.path() / folderName;
      const fs::path damaged = folder / file;
      fs::resize_file(damaged, fs::file_size(damaged) / 2);
      std::map<std::string, std::map<std::string, std::string>> copied;
      for (const char* name : {"parakeet-tdt-0.6b-v3-onnx", "speaker-diarization-onnx"}) {
        copied[name] = testsupport::filesIn(models.path() / name);
      }

      const auto failed = failedStart();
      ASSERT_TRUE(failed);
      const ErrorInfo& error = *failed;
      EXPECT_EQ(error.message.toStdString(), "The speech models could not be loaded");
      const QString plain = QStringLiteral("%1 in the folder %2 is damaged or incomplete.")
                                .arg(QString::fromUtf8(file), QString::fromStdString(folder.string()));
      EXPECT_TRUE(error.nextStep.value_or("").startsWith(plain)) << error.nextStep.value_or("").toStdString();
      // The reason: the file, why it does not load, and why no copy could be had from the hub.
      const std::string details = error.details.value_or("").toStdString();
      EXPECT_TRUE(details.rfind("Failed to load ONNX model " + damaged.string() + ": ", 0) == 0 ||
                  details.rfind("Could not read the ", 0) == 0)
          << details;
      EXPECT_NE(details.find(damaged.string()), std::string::npos) << details;
      const std::string hubName = hubCase.reachable
                                      ? QUrl(QString::fromStdString(hub.baseUrl())).authority().toStdString()
                                      : "127.0.0.1:9 (Failed to connect";
      EXPECT_NE(details.find("No fresh copy could be downloaded from " + hubName), std::string::npos) << details;
      for (const auto& [name, before] : copied) {
        EXPECT_EQ(changedFiles(before, testsupport::filesIn(models.path() / name)), std::vector<std::string>{}) << name;
      }
    }
  }
}

// A damaged file in each folder, no hub: the screen names both at once, so that one "Try Again"
// after mending them brings the models.
TEST_F(ModelStartupHubTest, DamagedFilesInBothFoldersAreNamedAtOnce) {
  qputenv("REGISTRY_URL", "http://127.0.0.1:9");
  copyInBothFolders(models.path());
  const std::pair<fs::path, const char*> damaged[] = {
      {models.path() / "parakeet-tdt-0.6b-v3-onnx", "Encoder.mlmodelc/model.onnx"},
      {models.path() / "speaker-diarization-onnx", "PldaRho.mlmodelc/model.onnx"}};
  for (const auto& [folder, file] : damaged) fs::resize_file(folder / file, fs::file_size(folder / file) / 2);
  const auto failed = failedStart();
  ASSERT_TRUE(failed);
  const QString step = failed->nextStep.value_or("");
  for (const auto& [folder, file] : damaged) {
    const QString plain = QStringLiteral("%1 in the folder %2 is damaged or incomplete.")
                              .arg(QString::fromUtf8(file), QString::fromStdString(folder.string()));
    EXPECT_TRUE(step.contains(plain)) << step.toStdString();
    EXPECT_TRUE(failed->details.value_or("").contains(QString::fromStdString((folder / file).string())));
  }
}

// A speaker folder copied without one of its files (a model folder left without its model file
// among them): with no hub the screen names the missing file and every other one is kept; once
// the file is copied in by hand, or a hub answers (which makes the folder its whole copy), "Try
// Again" brings the models.
TEST_F(ModelStartupHubTest, ASpeakerFolderMissingAFileIsNamedThenMadeWholeByHandOrByAHub) {
  const fs::path fixture = testsupport::fixturesDir() / "diarizer/speaker-diarization-onnx";
  const fs::path folder = models.path() / fixture.filename();
  for (const char* file : {"plda-parameters.json", "Embedding.mlmodelc", "PldaRho.mlmodelc/model.onnx"}) {
    for (const bool byHub : {false, true}) {
      SCOPED_TRACE(std::string(file) + (byHub ? ", by a hub" : ", by hand"));
      for (const auto& entry : fs::directory_iterator(models.path())) fs::remove_all(entry.path());
      copyInBothFolders(models.path());
      fs::remove_all(folder / file);
      const auto copied = testsupport::filesIn(folder);
      qputenv("REGISTRY_URL", "http://127.0.0.1:9");
      Harness h(engine());
      h.vm->initializeModels();
      ASSERT_TRUE(endsLoading(h));
      ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed);
      const QString plain = QStringLiteral("%1 is missing from the folder %2.")
                                .arg(QString::fromUtf8(file), QString::fromStdString(folder.string()));
      EXPECT_TRUE(h.vm->state().error()->nextStep.value_or("").startsWith(plain))
          << h.vm->state().error()->nextStep.value_or("").toStdString();
      EXPECT_EQ(changedFiles(copied, testsupport::filesIn(folder)), std::vector<std::string>{});

      if (byHub) {
        qputenv("REGISTRY_URL", QByteArray::fromStdString(hub.baseUrl()));
      } else {
        fs::copy(fixture / file, folder / file, fs::copy_options::recursive);
      }
      h.vm->reset();
      ASSERT_TRUE(endsLoading(h));
      EXPECT_EQ(h.vm->state().kind(), ProcessingState::Kind::modelsReady) << h.vm->statusMessage().toStdString();
      auto now = testsupport::filesIn(folder);
      now.erase(".voxtrellis-complete.json");  // what a download leaves beside the hub's files
      EXPECT_EQ(changedFiles(testsupport::filesIn(fixture), now), std::vector<std::string>{});
    }
  }
}

// A fresh copy cut short stays beside the folder until the folder loads whole or the copy takes
// its place, even when the models that do load are loaded first: the next start, with the hub
// back, asks for the one file it lacks.
TEST_F(ModelStartupHubTest, AFreshCopyCutShortIsResumedAtTheNextStart) {
  copyInBothFolders(models.path());
  const fs::path encoder = models.path() / "parakeet-tdt-0.6b-v3-onnx" / "Encoder.mlmodelc" / "model.onnx";
  fs::resize_file(encoder, fs::file_size(encoder) / 2);
  // The last file of the listing is dropped midway.
  hub.faultOnly = "/parakeet_vocab.json";
  hub.fault = Fault::closeMidFile;
  ASSERT_TRUE(failedStart());
  hub.fault = Fault::none;
  const int asked = hub.fileRequests;
  Harness h(engine());
  h.vm->initializeModels();
  ASSERT_TRUE(endsLoading(h));
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::modelsReady) << h.vm->statusMessage().toStdString();
  EXPECT_EQ(hub.fileRequests - asked, 1);
  const fs::path hubs = testsupport::fixturesDir() / "asr/parakeet-tdt-0.6b-v3-onnx/Encoder.mlmodelc/model.onnx";
  EXPECT_EQ(testsupport::readFile(encoder), testsupport::readFile(hubs));
  EXPECT_FALSE(fs::exists(models.path() / ".parakeet-tdt-0.6b-v3-onnx.fresh"));
}

// A hub that answers with a copy that does not load is no reason to give up the user's folder:
// with one file of it damaged, every copied file stays as it was, the copy is dropped, and the
// screen names the user's file, with what is wrong with the hub's copy beneath. For both
// folders, against a copy that lacks a file, one of another layout, one with a damaged file and
// one with a model of another interface.
TEST_F(ModelStartupHubTest, AHubsCopyThatDoesNotLoadNeverTakesTheUsersFolder) {
  struct Case {
    const char* folder;
    const char* damaged;  // the user's
    Fault copy;
    const char* copyFile;      // the file of the hub's copy that is other
    const char* copysFailure;  // part of what the details say of the hub's copy
  };
  const char* speaker = "speaker-diarization-onnx";
  const char* recognition = "parakeet-tdt-0.6b-v3-onnx";
  const Case cases[] = {
      {speaker, "PldaRho.mlmodelc/model.onnx", Fault::lacksFile, "plda-parameters.json", "PLDA parameters"},
      {speaker, "PldaRho.mlmodelc/model.onnx", Fault::otherLayout, "", "Missing model.onnx in model: "},
      {speaker, "Embedding.mlmodelc/model.onnx", Fault::damagedFile, "PldaRho.mlmodelc/model.onnx",
       "PldaRho.mlmodelc/model.onnx"},
      {recognition, "Encoder.mlmodelc/model.onnx", Fault::lacksFile, "parakeet_vocab.json", "the vocabulary"},
      {recognition, "Encoder.mlmodelc/model.onnx", Fault::otherLayout, "", "Missing model.onnx in model: "},
      {recognition, "JointDecision.mlmodelc/model.onnx", Fault::damagedFile, "Encoder.mlmodelc/model.onnx",
       "Encoder.mlmodelc/model.onnx"},
      // A copy of another revision: every model opens, one of them is not the one its name says.
      {speaker, "Segmentation.mlmodelc/model.onnx", Fault::otherInterface, "PldaRho.mlmodelc/model.onnx",
       "PldaRho.mlmodelc/model.onnx: missing input"},
      {recognition, "Preprocessor.mlmodelc/model.onnx", Fault::otherInterface, "Encoder.mlmodelc/model.onnx",
       "Encoder.mlmodelc/model.onnx: missing output"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.damaged) + " against a copy " + std::to_string(static_cast<int>(c.copy)));
    for (const auto& entry : fs::directory_iterator(models.path())) fs::remove_all(entry.path());
    copyInBothFolders(models.path());
    const fs::path folder = models.path() / c.folder;
    const fs::path damaged = folder / c.damaged;
    fs::resize_file(damaged, fs::file_size(damaged) / 2);
    std::map<std::string, std::map<std::string, std::string>> copied;
    for (const char* name : {recognition, speaker}) copied[name] = testsupport::filesIn(models.path() / name);
    hub.fault = c.copy;
    hub.faultOnly = c.copyFile;

    const auto failed = failedStart();
    ASSERT_TRUE(failed);
    const ErrorInfo& error = *failed;
    const QString plain = QStringLiteral("%1 in the folder %2 is damaged or incomplete.")
                              .arg(QString::fromUtf8(c.damaged), QString::fromStdString(folder.string()));
    EXPECT_TRUE(error.nextStep.value_or("").startsWith(plain)) << error.nextStep.value_or("").toStdString();
    const std::string details = error.details.value_or("").toStdString();
    EXPECT_NE(details.find(damaged.string()), std::string::npos) << details;
    EXPECT_NE(details.find(c.copysFailure, details.find("does not load either")), std::string::npos) << details;
    for (const auto& [name, before] : copied) {
      EXPECT_EQ(changedFiles(before, testsupport::filesIn(models.path() / name)), std::vector<std::string>{}) << name;
    }
    EXPECT_FALSE(fs::exists(models.path() / ("." + std::string(c.folder) + ".fresh")));
  }
}

// A folder a hub once made holds the sizes of its files; a good file of another size copied over
// one of them is the user's choice, not an unfinished download: it is loaded, and kept, and no
// hub is asked.
TEST_F(ModelStartupHubTest, AGoodFileOfAnotherSizeCopiedIntoAHubsFolderIsLoadedWithoutAskingTheHub) {
  {
    Harness first(engine());
    ASSERT_TRUE(first.startModels()) << first.vm->statusMessage().toStdString();
  }
  const fs::path decoder = models.path() / "parakeet-tdt-0.6b-v3-onnx" / "Decoder.mlmodelc" / "model.onnx";
  const fs::path other = testsupport::fixturesDir() / "asr" / "half-state" / "Decoder.mlmodelc" / "model.onnx";
  ASSERT_TRUE(fs::exists(decoder.parent_path().parent_path() / ".voxtrellis-complete.json"));
  ASSERT_NE(fs::file_size(decoder), fs::file_size(other));
  fs::copy_file(other, decoder, fs::copy_options::overwrite_existing);
  const int asked = hub.requests;
  Harness h(engine());
  ASSERT_TRUE(h.startModels()) << h.vm->statusMessage().toStdString();
  EXPECT_TRUE(testsupport::readFile(decoder) == testsupport::readFile(other));
  EXPECT_EQ(hub.requests, asked);
}

// What the quit test's child is given: the folder its models are in, the application's own, and
// the model folder in whose fresh copy a file comes in slowly.
constexpr const char* kQuitModels = "PV_QUIT_TEST_MODELS";
constexpr const char* kQuitShare = "PV_QUIT_TEST_SHARE";
constexpr const char* kQuitInFlight = "PV_QUIT_TEST_IN_FLIGHT";
constexpr const char* kQuitting = "Quitting while a model downloads";
// Set when the child runs the program's own loop and is ended by SIGTERM (a logout, a shutdown)
// rather than by Ctrl+Q's action.
constexpr const char* kQuitBySignal = "PV_QUIT_TEST_BY_SIGNAL";

// Quit while the models download (a file of the user's damaged, the hub slow), for each folder:
// the program ends within seconds, not when the download is done, and leaves the library free
// for the next start. What came before the file in flight stays beside the folder to be resumed;
// the folder in place is as it was.
TEST_F(ModelStartupHubTest, QuittingWhileAModelDownloadsEndsTheProgramAndFreesTheLibrary) {
  // Three children, each given minutes: together within the test's limit.
  const testsupport::TimeLeft timeLeft(PV_TEST_TIMEOUT_SECONDS, 30);
  struct Case {
    const char* folder;
    const char* damaged;
    const char* slow;  // 6 kB or more: 7 minutes or more at 16 bytes a second
    std::vector<std::string> fetchedBefore;
    bool bySignal = false;
  };
  const Case cases[] = {
      {"speaker-diarization-onnx",
       "PldaRho.mlmodelc/model.onnx",
       "PldaRho.mlmodelc/model.onnx",
       {"Embedding.mlmodelc/model.onnx", "FBank.mlmodelc/model.onnx"}},
      {"parakeet-tdt-0.6b-v3-onnx", "Encoder.mlmodelc/model.onnx", "Decoder.mlmodelc/model.onnx", {}},
      {"speaker-diarization-onnx",
       "PldaRho.mlmodelc/model.onnx",
       "PldaRho.mlmodelc/model.onnx",
       {"Embedding.mlmodelc/model.onnx", "FBank.mlmodelc/model.onnx"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + (c.bySignal ? ", SIGTERM" : ", Quit"));
    for (const auto& entry : fs::directory_iterator(models.path())) fs::remove_all(entry.path());
    copyInBothFolders(models.path());
    const fs::path folder = models.path() / c.folder;
    fs::resize_file(folder / c.damaged, fs::file_size(folder / c.damaged) / 2);
    const auto copied = testsupport::filesIn(folder);
    hub.faultOnly = std::string("/") + c.slow;
    hub.fault = Fault::slowFile;
    const fs::path fresh = models.path() / ("." + std::string(c.folder) + ".fresh");
    const testsupport::TempDir share{"pv-share"};

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("REGISTRY_URL", QString::fromStdString(hub.baseUrl()));
    environment.insert(kQuitModels, QString::fromStdString(models.path().string()));
    environment.insert(kQuitShare, QString::fromStdString(share.path().string()));
    environment.insert(kQuitInFlight, QString::fromStdString((fresh / c.slow).parent_path().string()));
    if (c.bySignal) environment.insert(kQuitBySignal, "1");
    const testsupport::QuitChild program =
        testsupport::quitChildAtMoment(environment, "ModelStartupQuitChildProcess.QuitsWhileAModelDownloads", kQuitting,
                                       c.bySignal, timeLeft.atMost(120000), timeLeft.atMost(20000));
    ASSERT_TRUE(program.reachedMoment) << program.output.toStdString();
    ASSERT_TRUE(program.ended) << "still running 20 s after Quit\n" << program.output.toStdString();
    if (c.bySignal) {
      // The program ends by the signal it was sent, as whoever sent it expects.
      EXPECT_EQ(program.exitStatus, QProcess::CrashExit) << program.output.toStdString();
    } else {
      EXPECT_EQ(program.exitCode, 0) << program.output.toStdString();
    }

    EXPECT_EQ(changedFiles(copied, testsupport::filesIn(folder)), std::vector<std::string>{});
    const auto fetched = testsupport::filesIn(fresh);
    for (const std::string& file : c.fetchedBefore) EXPECT_TRUE(fetched.count(file)) << file;
    for (const auto& [file, content] : fetched) EXPECT_EQ(file.find(".download-"), std::string::npos) << file;

    const testsupport::ScopedSettingsFolder settings(QString::fromStdString((share.path() / "config").string()));
    EXPECT_NO_THROW(Application(Application::Environment(QString::fromStdString(share.path().string()),
                                                         QStringLiteral("com.lanternhollow.tests.quit"))));
  }
}

// The program's road in the child: the application starts its models as its window shows, and
// Ctrl+Q's action quits once the slow file is on its way; the application then goes as the
// program's does after its event loop.
TEST(ModelStartupQuitChildProcess, QuitsWhileAModelDownloads) {
  const fs::path models = qEnvironmentVariable(kQuitModels).toStdString();
  const QString share = qEnvironmentVariable(kQuitShare);
  const testsupport::ScopedSettingsFolder settings(share + "/config");
  VoxtrellisSpeechEngine::ModelFolders folders;
  folders.recognizer = models / "parakeet-tdt-0.6b-v3-onnx";
  folders.diarizer = models;
  const Application::Environment environment(share, QStringLiteral("com.lanternhollow.tests.quit"),
                                             std::make_shared<VoxtrellisSpeechEngine>(folders));
  const auto waitForTheSlowFile = [] {
    const fs::path inFlight = qEnvironmentVariable(kQuitInFlight).toStdString();
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
          std::error_code error;
          for (const auto& entry : fs::directory_iterator(inFlight, error)) {
            if (entry.path().filename().string().find(".download-") != std::string::npos) return true;
          }
          return false;
        },
        60000));
    std::cout << kQuitting << std::endl;
  };
  if (qEnvironmentVariableIsSet(kQuitBySignal)) {
    // The program's own loop, which the parent's SIGTERM ends.
    EXPECT_EQ(Application::run(environment, [&](Application&) { waitForTheSlowFile(); }), 0);
    return;
  }
  auto application = std::make_unique<Application>(environment);
  application->showMainWindow();
  waitForTheSlowFile();
  testsupport::quitByTheQuitAction(application);
}

}  // namespace
