#pragma once

#include "support/FixturePaths.h"
#include "support/LoopbackServer.h"

#include <voxtrellis/ModelRegistry.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace asrtest {

// A model hub on 127.0.0.1 serving the generated recognition repositories:
// "GET /api/models/<owner>/<repo>/tree/main[/<path>]" lists a folder and
// "GET /<owner>/<repo>/resolve/main/<path>" returns a file. Every request
// path is recorded.
class FakeModelHub {
 public:
  FakeModelHub() {
    auto& server = m_server.server();
    server.set_keep_alive_timeout(1);
    server.Get(R"(/api/models/Quillbrookline/([^/]+)/tree/main/?(.*))",
               [this](const httplib::Request& req, httplib::Response& res) {
                 record(req.path);
                 namespace fs = std::filesystem;
                 const std::string sub = req.matches[2];
                 nlohmann::json list = nlohmann::json::array();
                 std::error_code ec;
                 for (const auto& entry : fs::directory_iterator(root() / std::string(req.matches[1]) / sub, ec)) {
                   list.push_back({{"path", (fs::path(sub) / entry.path().filename()).generic_string()},
                                   {"type", entry.is_directory() ? "directory" : "file"}});
                 }
                 res.set_content(list.dump(), "application/json");
               });
    server.Get(R"(/Quillbrookline/([^/]+)/resolve/main/(.+))",
               [this](const httplib::Request& req, httplib::Response& res) {
                 record(req.path);
                 std::ifstream in(root() / std::string(req.matches[1]) / std::string(req.matches[2]), std::ios::binary);
                 if (!in) {
                   res.status = 404;
                   res.set_content("{}", "application/json");
                   return;
                 }
                 std::stringstream s;
                 s << in.rdbuf();
                 std::string bytes = s.str();
                 if (isDamaged(req.path)) bytes.resize(bytes.size() / 2);
                 res.set_content(bytes, "application/octet-stream");
               });
    m_server.start();
    voxtrellis::ModelRegistry::setBaseURL(baseUrl());
  }

  std::string baseUrl() const { return m_server.baseUrl(); }
  std::vector<std::string> requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }
  bool requested(const std::string& suffix) {
    for (const auto& r : requests()) {
      if (endsWith(r, suffix)) return true;
    }
    return false;
  }
  // Serves the file whose path ends with `suffix` cut in half: a copy that downloads (the
  // listing states no sizes) but does not load. An empty suffix serves every file whole.
  void damage(const std::string& suffix) {
    std::lock_guard lock(m_mutex);
    m_damaged = suffix;
  }

 private:
  static std::filesystem::path root() { return testsupport::fixturesDir() / "asr"; }
  static bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
  }
  bool isDamaged(const std::string& path) {
    std::lock_guard lock(m_mutex);
    return !m_damaged.empty() && endsWith(path, m_damaged);
  }
  void record(const std::string& path) {
    std::lock_guard lock(m_mutex);
    m_requests.push_back(path);
  }

  std::mutex m_mutex;
  std::vector<std::string> m_requests;
  std::string m_damaged;
  testsupport::LoopbackServer m_server;  // last: stops before the members its handlers use
};

}  // namespace asrtest
