#pragma once

#include "support/LoopbackServer.h"
#include "support/ScopedEnv.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace voxtrellis::test {

using testsupport::ScopedEnv;

// A model hub on 127.0.0.1 answering the tree listing and file download paths
// from an in-memory set of repositories, recording every request.
class FakeHub {
 public:
  struct Request {
    std::string path;
    std::optional<std::string> authorization;
  };

  FakeHub() {
    auto& server = m_server.server();
    // The engine keeps connections open for reuse; a short keep-alive lets the
    // server stop quickly at the end of each test.
    server.set_keep_alive_timeout(1);
    server.Get(R"(/api/models/([^/]+/[^/]+)/tree/main(?:/(.*))?)",
               [this](const httplib::Request& req, httplib::Response& res) {
                 record(req);
                 if (answerOverride(req.path, res)) return;
                 const std::string repo = req.matches[1];
                 const std::string folder = req.matches.size() > 2 ? std::string(req.matches[2]) : std::string();
                 res.set_content(listing(repo, folder).dump(), "application/json");
               });
    server.Get(R"(/([^/]+/[^/]+)/resolve/main/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
      record(req);
      if (answerOverride(req.path, res)) return;
      std::lock_guard lock(m_mutex);
      auto repo = m_repos.find(req.matches[1]);
      if (repo == m_repos.end() || !repo->second.count(req.matches[2])) {
        res.status = 404;
        res.set_content("not found", "text/plain");
        return;
      }
      res.set_content(repo->second.at(req.matches[2]), "application/octet-stream");
    });
    server.Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
      record(req);
      if (answerOverride(req.path, res)) return;
      res.status = 404;
    });
    m_server.start();
  }

  std::string baseUrl() const { return m_server.baseUrl(); }

  void addFile(const std::string& repo, const std::string& path, std::string content) {
    std::lock_guard lock(m_mutex);
    m_repos[repo][path] = std::move(content);
  }
  // Raw entries appended to the listing of one folder of a repository.
  void addListingEntry(const std::string& repo, const std::string& folder, nlohmann::json entry) {
    std::lock_guard lock(m_mutex);
    m_extraEntries[repo + "|" + folder].push_back(std::move(entry));
  }
  // Answers requests whose path equals `path` with `status` and `body`,
  // after `delay` of saying nothing.
  void answer(const std::string& path, int status, std::string body = "{}",
              std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    std::lock_guard lock(m_mutex);
    m_overrides[path] = {status, std::move(body), delay};
  }
  // Answers requests whose path equals `path` with 200 and an endless stream of bytes (no
  // length header), counting what it sends into `sent`.
  void answerEndlessly(const std::string& path, std::shared_ptr<std::atomic<std::size_t>> sent) {
    std::lock_guard lock(m_mutex);
    m_endless[path] = std::move(sent);
  }
  // States a large-file-storage SHA-256 for a file in the listing.
  void setLfsOid(const std::string& repo, const std::string& path, std::string oid) {
    std::lock_guard lock(m_mutex);
    m_lfs[repo + "|" + path] = std::move(oid);
  }
  void clearAnswers() {
    std::lock_guard lock(m_mutex);
    m_overrides.clear();
  }

  std::vector<Request> requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }
  std::size_t count(const std::string& pathPrefix) {
    std::size_t n = 0;
    for (const auto& r : requests()) n += r.path.rfind(pathPrefix, 0) == 0 ? 1 : 0;
    return n;
  }

 private:
  void record(const httplib::Request& req) {
    std::lock_guard lock(m_mutex);
    std::optional<std::string> auth;
    if (req.has_header("Authorization")) auth = req.get_header_value("Authorization");
    m_requests.push_back({req.path, auth});
  }

  bool answerOverride(const std::string& path, httplib::Response& res) {
    Override answer;
    {
      std::lock_guard lock(m_mutex);
      if (auto endless = m_endless.find(path); endless != m_endless.end()) {
        res.set_chunked_content_provider("application/octet-stream",
                                         [sent = endless->second](size_t, httplib::DataSink& sink) {
                                           const std::string block(64 * 1024, 'z');
                                           *sent += block.size();
                                           return sink.write(block.data(), block.size());
                                         });
        return true;
      }
      auto it = m_overrides.find(path);
      if (it == m_overrides.end()) return false;
      answer = it->second;
    }
    std::this_thread::sleep_for(answer.delay);
    res.status = answer.status;
    res.set_content(answer.body, "application/json");
    return true;
  }

  nlohmann::json listing(const std::string& repo, const std::string& folder) {
    std::lock_guard lock(m_mutex);
    nlohmann::json entries = nlohmann::json::array();
    std::set<std::string> folders;
    const std::string prefix = folder.empty() ? "" : folder + "/";
    for (const auto& [path, content] : m_repos[repo]) {
      if (path.rfind(prefix, 0) != 0) continue;
      const std::string rest = path.substr(prefix.size());
      const auto slash = rest.find('/');
      if (slash == std::string::npos) {
        nlohmann::json entry = {{"type", "file"}, {"path", path}, {"size", content.size()}};
        const auto lfs = m_lfs.find(repo + "|" + path);
        if (lfs != m_lfs.end()) entry["lfs"] = {{"oid", lfs->second}, {"size", content.size()}};
        entries.push_back(std::move(entry));
      } else if (folders.insert(prefix + rest.substr(0, slash)).second) {
        entries.push_back({{"type", "directory"}, {"path", prefix + rest.substr(0, slash)}});
      }
    }
    for (const auto& extra : m_extraEntries[repo + "|" + folder]) entries.push_back(extra);
    return entries;
  }

  testsupport::LoopbackServer m_server;
  std::mutex m_mutex;
  std::map<std::string, std::map<std::string, std::string>> m_repos;
  std::map<std::string, std::vector<nlohmann::json>> m_extraEntries;
  struct Override {
    int status = 200;
    std::string body;
    std::chrono::milliseconds delay{0};
  };
  std::map<std::string, Override> m_overrides;
  std::map<std::string, std::string> m_lfs;
  std::map<std::string, std::shared_ptr<std::atomic<std::size_t>>> m_endless;
  std::vector<Request> m_requests;
};

}  // namespace voxtrellis::test
