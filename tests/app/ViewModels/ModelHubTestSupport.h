#pragma once

#include "app/ViewModels/PipelineTestSupport.h"
#include "support/LoopbackServer.h"

#include <QProcess>

#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace modelhubtest {

namespace fs = std::filesystem;

enum class Fault { none, closeMidFile, wrongSize, wrongHash, htmlListing, redirectLoop, serverError, noSuchRepository };

// A model hub on 127.0.0.1 in the public hub's layout serving the generated recognition and
// diarization repositories: "GET /api/models/Quillbrookline/<repo>/tree/main[/<path>]" lists a
// folder by name with sizes and SHA-256 sums, "GET /Quillbrookline/<repo>/resolve/main/<path>"
// returns a file. At most one fault is switched on at a time, for every request or, with
// `faultOnly`, for the requests whose path ends with it; `requests` counts what was asked,
// `fileRequests` the files among it.
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
                   nlohmann::json item = {{"path", (fs::path(sub) / entry.path().filename()).generic_string()},
                                          {"type", entry.is_directory() ? "directory" : "file"}};
                   if (!entry.is_directory()) {
                     const auto size = fs::file_size(entry.path());
                     item["size"] = size;
                     std::string hash = sha256(entry.path());
                     if (faultFor(req) == Fault::wrongHash) hash[0] = hash[0] == '0' ? '1' : '0';
                     item["lfs"] = {{"size", size}, {"oid", hash}};
                   }
                   list.push_back(item);
                 }
                 res.set_content(list.dump(), "application/json");
               });
    server.Get(R"(/Quillbrookline/([^/]+)/resolve/main/(.+))",
               [this](const httplib::Request& req, httplib::Response& res) {
                 ++requests;
                 ++fileRequests;
                 if (answeredByFault(req, res, false)) return;
                 const fs::path file = folder(req.matches[1]) / std::string(req.matches[2]);
                 if (!fs::is_regular_file(file)) {
                   res.status = 404;
                   return;
                 }
                 auto bytes = std::make_shared<std::string>(read(file));
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
  std::string baseUrl() const { return m_server.baseUrl(); }
  std::atomic<Fault> fault{Fault::none};
  std::string faultOnly;  // set while no request is served
  std::atomic<int> requests{0};
  std::atomic<int> fileRequests{0};

 private:
  Fault faultFor(const httplib::Request& req) const {
    const bool applies =
        faultOnly.empty() || (req.path.size() >= faultOnly.size() &&
                              req.path.compare(req.path.size() - faultOnly.size(), faultOnly.size(), faultOnly) == 0);
    return applies ? fault.load() : Fault::none;
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

}  // namespace modelhubtest
