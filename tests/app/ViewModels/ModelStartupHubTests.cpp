// Model start-up against a model hub on 127.0.0.1 (named by REGISTRY_URL) that misbehaves:
// start-up ends in `failed` with the engine's text, nothing half-fetched is used by a later
// start, and "Try Again" (reset) starts the models again once the hub answers properly.

#include "app/ViewModels/PipelineTestSupport.h"
#include "support/LoopbackServer.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

using namespace pipelinetest;

namespace {

namespace fs = std::filesystem;

enum class Fault { none, closeMidFile, wrongSize, wrongHash, htmlListing, redirectLoop, serverError };

// The generated recognition and diarization repositories in the public hub's layout, with
// sizes and SHA-256 sums in the listing, and one fault switched on at a time.
class FaultyModelHub {
 public:
  FaultyModelHub() {
    auto& server = m_server.server();
    server.Get(R"(/api/models/Quillbrookline/([^/]+)/tree/main/?(.*))",
               [this](const httplib::Request& req, httplib::Response& res) {
                 if (answeredByFault(req, res, true)) return;
                 const std::string sub = req.matches[2];
                 nlohmann::json list = nlohmann::json::array();
                 std::error_code ec;
                 for (const auto& entry : fs::directory_iterator(folder(req.matches[1]) / sub, ec)) {
                   nlohmann::json item = {{"path", (fs::path(sub) / entry.path().filename()).generic_string()},
                                          {"type", entry.is_directory() ? "directory" : "file"}};
                   if (!entry.is_directory()) {
                     const auto size = fs::file_size(entry.path());
                     item["size"] = size;
                     std::string hash = sha256(entry.path());
                     if (fault == Fault::wrongHash) hash[0] = hash[0] == '0' ? '1' : '0';
                     item["lfs"] = {{"size", size}, {"oid", hash}};
                   }
                   list.push_back(item);
                 }
                 res.set_content(list.dump(), "application/json");
               });
    server.Get(R"(/Quillbrookline/([^/]+)/resolve/main/(.+))",
               [this](const httplib::Request& req, httplib::Response& res) {
                 if (answeredByFault(req, res, false)) return;
                 auto bytes = std::make_shared<std::string>(read(folder(req.matches[1]) / std::string(req.matches[2])));
                 if (fault == Fault::closeMidFile && bytes->size() > 64) {
                   // Announces the whole file, sends half of it and hangs up.
                   res.set_content_provider(bytes->size(), "application/octet-stream",
                                            [bytes](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset > 0) return false;
                                              sink.write(bytes->data(), bytes->size() / 2);
                                              return true;
                                            });
                   return;
                 }
                 if (fault == Fault::wrongSize) bytes->resize(bytes->size() / 2);
                 res.set_content(*bytes, "application/octet-stream");
               });
    server.Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
    m_server.start();
  }
  std::string baseUrl() const { return m_server.baseUrl(); }
  std::atomic<Fault> fault{Fault::none};

 private:
  bool answeredByFault(const httplib::Request&, httplib::Response& res, bool listing) {
    switch (fault.load()) {
      case Fault::htmlListing:
        if (!listing) return false;
        res.set_content("<!DOCTYPE html><html><body>Sign in to continue</body></html>", "text/html");
        return true;
      case Fault::redirectLoop: res.set_redirect("/loop"); return true;
      case Fault::serverError:
        res.status = 500;
        res.set_content("Internal Server Error", "text/plain");
        return true;
      default: return false;
    }
  }
  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  static std::string sha256(const fs::path& path) {
    QProcess process;
    process.start("sha256sum", {QString::fromStdString(path.string())});
    process.waitForFinished();
    return process.readAllStandardOutput().left(64).toStdString();
  }
  static fs::path folder(const std::string& repo) {
    const auto root = testsupport::fixturesDir();
    return (repo.rfind("parakeet", 0) == 0 ? root / "asr" : root / "diarizer") / repo;
  }
  testsupport::LoopbackServer m_server;
};

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

  FaultyModelHub hub;
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
