#pragma once

#include "app/ViewModels/PipelineTestSupport.h"
#include "support/LoopbackServer.h"

#include <QCryptographicHash>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace modelhubtest {

namespace fs = std::filesystem;

enum class Fault {
  none,
  closeMidFile,
  wrongSize,
  wrongHash,
  htmlListing,
  redirectLoop,
  serverError,
  noSuchRepository,
  slowFile,  // sent at 16 bytes a second
  // The hub's copy itself is other than the user's: without a file, with the `.mlmodelc`
  // folders holding coremldata.bin rather than model.onnx, with a file cut in half, or with a
  // model.onnx that is another model of the repository, sound but of another interface (each
  // listed at the size and SHA-256 it then has, so that it downloads well and only fails to
  // load).
  lacksFile,
  otherLayout,
  damagedFile,
  otherInterface,
};

// A model hub on 127.0.0.1 in the public hub's layout serving the generated recognition and
// diarization repositories: "GET /api/models/Quillbrookline/<repo>/tree/main[/<path>]" lists a
// folder by name with sizes and SHA-256 sums, "GET /Quillbrookline/<repo>/resolve/main/<path>"
// returns a file. At most one fault is switched on at a time, for every request (or file of the
// copy) or, with `faultOnly`, for the requests (files) whose path ends with it; `requests`
// counts what was asked, `fileRequests` the files among it.
class GeneratedModelHub {
 public:
  GeneratedModelHub() {
    auto& server = m_server.server();
    // The engine keeps connections open for reuse; a short keep-alive lets the hub stop quickly.
    server.set_keep_alive_timeout(1);
    server.Get(R"(/api/models/Quillbrookline/([^/]+)/tree/main/?(.*))",
               [this](const httplib::Request& req, httplib::Response& res) {
                 ++requests;
                 if (answeredByFault(req, res, true)) return;
                 const std::string sub = req.matches[2];
                 nlohmann::json list = nlohmann::json::array();
                 std::error_code ec;
                 std::set<fs::directory_entry> entries;
                 for (const auto& entry : fs::directory_iterator(folder(req.matches[1]) / sub, ec))
                   entries.insert(entry);
                 for (const auto& entry : entries) {
                   const std::string path = (fs::path(sub) / entry.path().filename()).generic_string();
                   if (entry.is_directory()) {
                     list.push_back({{"path", path}, {"type", "directory"}});
                     continue;
                   }
                   const auto bytes = copied(entry.path(), path);
                   if (!bytes) continue;
                   std::string hash = sha256(*bytes);
                   if (faultFor(req) == Fault::wrongHash) hash[0] = hash[0] == '0' ? '1' : '0';
                   list.push_back({{"path", hubName(path)},
                                   {"type", "file"},
                                   {"size", bytes->size()},
                                   {"lfs", {{"size", bytes->size()}, {"oid", hash}}}});
                 }
                 res.set_content(list.dump(), "application/json");
               });
    server.Get(R"(/Quillbrookline/([^/]+)/resolve/main/(.+))", [this](const httplib::Request& req,
                                                                      httplib::Response& res) {
      ++requests;
      ++fileRequests;
      if (answeredByFault(req, res, false)) return;
      const std::string path = fixtureName(req.matches[2]);
      const fs::path file = folder(req.matches[1]) / path;
      const auto copy = fs::is_regular_file(file) ? copied(file, path) : std::nullopt;
      if (!copy) {
        res.status = 404;
        return;
      }
      auto bytes = std::make_shared<std::string>(*copy);
      if (faultFor(req) == Fault::slowFile) {
        res.set_content_provider(
            bytes->size(), "application/octet-stream", [this, bytes](size_t offset, size_t, httplib::DataSink& sink) {
              if (m_stopping) return false;
              std::this_thread::sleep_for(std::chrono::milliseconds(250));
              return sink.write(bytes->data() + offset, std::min<size_t>(4, bytes->size() - offset));
            });
        return;
      }
      if (faultFor(req) == Fault::closeMidFile && bytes->size() > 64) {
        // Announces the whole file, sends half of it and hangs up.
        res.set_content_provider(bytes->size(), "application/octet-stream",
                                 [bytes](size_t offset, size_t, httplib::DataSink& sink) {
                                   if (offset > 0) return false;
                                   sink.write(bytes->data(), bytes->size() / 2);
                                   return true;
                                 });
        return;
      }
      if (faultFor(req) == Fault::wrongSize) bytes->resize(bytes->size() / 2);
      res.set_content(*bytes, "application/octet-stream");
    });
    server.Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
    m_server.start();
  }
  ~GeneratedModelHub() { m_stopping = true; }
  GeneratedModelHub(const GeneratedModelHub&) = delete;
  GeneratedModelHub& operator=(const GeneratedModelHub&) = delete;

  std::string baseUrl() const { return m_server.baseUrl(); }
  std::atomic<Fault> fault{Fault::none};
  std::string faultOnly;  // set while no request is served
  std::atomic<int> requests{0};
  std::atomic<int> fileRequests{0};

 private:
  static bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
  }
  Fault faultFor(const std::string& path) const {
    return faultOnly.empty() || endsWith(path, faultOnly) ? fault.load() : Fault::none;
  }
  Fault faultFor(const httplib::Request& req) const { return faultFor(req.path); }
  // The bytes of the hub's copy of a file of the fixture folder, none when the copy lacks it.
  std::optional<std::string> copied(const fs::path& file, const std::string& path) const {
    if (faultFor(path) == Fault::lacksFile) return std::nullopt;
    if (faultFor(path) == Fault::otherInterface && file.filename() == "model.onnx") return read(anotherModel(file));
    std::string bytes = read(file);
    if (faultFor(path) == Fault::damagedFile) bytes.resize(bytes.size() / 2);
    return bytes;
  }
  // The first other `.mlmodelc` folder's model.onnx beside the one holding `file`.
  static fs::path anotherModel(const fs::path& file) {
    std::set<fs::path> models;
    for (const auto& entry : fs::directory_iterator(file.parent_path().parent_path())) {
      if (entry.path().extension() == ".mlmodelc" && entry.path() != file.parent_path()) models.insert(entry.path());
    }
    return *models.begin() / "model.onnx";
  }
  // A file's name in the hub's copy, and back.
  std::string hubName(const std::string& path) const {
    if (fault != Fault::otherLayout || !endsWith(path, "/model.onnx")) return path;
    return path.substr(0, path.size() - std::string("model.onnx").size()) + "coremldata.bin";
  }
  std::string fixtureName(const std::string& path) const {
    if (fault != Fault::otherLayout || !endsWith(path, "/coremldata.bin")) return path;
    return path.substr(0, path.size() - std::string("coremldata.bin").size()) + "model.onnx";
  }
  bool answeredByFault(const httplib::Request& req, httplib::Response& res, bool listing) {
    switch (faultFor(req)) {
      case Fault::htmlListing:
        if (!listing) return false;
        res.set_content("<!DOCTYPE html><html><body>Sign in to continue</body></html>", "text/html");
        return true;
      case Fault::redirectLoop: res.set_redirect("/loop"); return true;
      case Fault::serverError:
        res.status = 500;
        res.set_content("Internal Server Error", "text/plain");
        return true;
      case Fault::noSuchRepository:
        // What the public hub answers for a repository it does not hold.
        res.status = 401;
        res.set_content(R"({"error":"Repository not found"})", "application/json");
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
  static std::string sha256(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256).toHex().toStdString();
  }
  static fs::path folder(const std::string& repo) {
    const auto root = testsupport::fixturesDir();
    return (repo.rfind("parakeet", 0) == 0 ? root / "asr" : root / "diarizer") / repo;
  }
  std::atomic<bool> m_stopping{false};
  testsupport::LoopbackServer m_server;
};

}  // namespace modelhubtest
