#pragma once

#include <httplib.h>

#include <memory>
#include <string>
#include <thread>

namespace testsupport {

// An HTTP server on 127.0.0.1 with a port the system picks, serving on its own
// thread. Register handlers through server() before or after start(); the
// server stops in the destructor. Used as a fake model hub and fake APIs.
class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  httplib::Server& server() { return m_server; }
  // Binds and starts serving; returns once the server accepts connections.
  void start();
  void stop();
  int port() const { return m_port; }
  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(m_port); }

 private:
  httplib::Server m_server;
  std::thread m_thread;
  int m_port = 0;
};

}  // namespace testsupport
