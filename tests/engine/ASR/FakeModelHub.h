#pragma once

#include "support/FixturePaths.h"

#include <voxtrellis/ModelRegistry.h>

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace asrtest {

// A model hub on 127.0.0.1 serving the generated recognition repositories:
// "GET /api/models/<owner>/<repo>/tree/main[/<path>]" lists a folder and
// "GET /<owner>/<repo>/resolve/main/<path>" returns a file. One connection at
// a time, closed after each answer -- all the loader needs.
class FakeModelHub {
 public:
  FakeModelHub() {
    m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(m_socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    ::listen(m_socket, 16);
    m_thread = std::thread([this] { serve(); });
    voxtrellis::ModelRegistry::setBaseURL(baseUrl());
  }
  ~FakeModelHub() {
    m_stop = true;
    ::shutdown(m_socket, SHUT_RDWR);
    ::close(m_socket);
    m_thread.join();
  }

  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(m_port); }
  std::vector<std::string> requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }
  bool requested(const std::string& suffix) {
    for (const auto& r : requests()) {
      if (r.size() >= suffix.size() && r.compare(r.size() - suffix.size(), suffix.size(), suffix) == 0) return true;
    }
    return false;
  }

 private:
  void serve() {
    while (!m_stop) {
      const int client = ::accept(m_socket, nullptr, nullptr);
      if (client < 0) {
        if (m_stop) return;
        continue;
      }
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      const std::string path = request.substr(4, request.find(' ', 4) - 4);
      {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(path);
      }
      int status = 200;
      const std::string body = answer(path, status);
      std::string head = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Not Found") +
                         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
      const std::string all = head + body;
      size_t sent = 0;
      while (sent < all.size()) {
        const ssize_t n = ::send(client, all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      ::close(client);
    }
  }

  static std::string answer(const std::string& path, int& status) {
    namespace fs = std::filesystem;
    const fs::path root = testsupport::fixturesDir() / "asr";
    std::smatch m;
    static const std::regex tree(R"(/api/models/Quillbrookline/([^/]+)/tree/main/?(.*))");
    static const std::regex resolve(R"(/Quillbrookline/([^/]+)/resolve/main/(.+))");
    if (std::regex_match(path, m, tree)) {
      const std::string sub = m[2].str();
      nlohmann::json list = nlohmann::json::array();
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(root / m[1].str() / sub, ec)) {
        list.push_back({{"path", (fs::path(sub) / entry.path().filename()).generic_string()},
                        {"type", entry.is_directory() ? "directory" : "file"}});
      }
      return list.dump();
    }
    if (std::regex_match(path, m, resolve)) {
      std::ifstream in(root / m[1].str() / m[2].str(), std::ios::binary);
      if (in) {
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
      }
    }
    status = 404;
    return "{}";
  }

  int m_socket = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  std::mutex m_mutex;
  std::vector<std::string> m_requests;
};

}  // namespace asrtest
