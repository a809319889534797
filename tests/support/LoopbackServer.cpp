#include "support/LoopbackServer.h"

#include <chrono>
#include <stdexcept>

namespace testsupport {

LoopbackServer::LoopbackServer() = default;

LoopbackServer::~LoopbackServer() {
  stop();
}

void LoopbackServer::start() {
  if (m_thread.joinable()) return;
  m_port = m_server.bind_to_any_port("127.0.0.1");
  if (m_port <= 0) throw std::runtime_error("cannot bind a loopback port");
  m_thread = std::thread([this] { m_server.listen_after_bind(); });
  for (int i = 0; i < 2000 && !m_server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void LoopbackServer::stop() {
  if (m_thread.joinable()) {
    m_server.stop();
    m_thread.join();
  }
}

}  // namespace testsupport
