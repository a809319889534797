#include "App/TerminationSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace parlowvista {

namespace {

constexpr std::array kSignals{SIGTERM, SIGHUP, SIGINT};

// [0] is written by the handlers, [1] read by the notifier. Made once and never closed: a
// handler running on another thread at the moment a watcher goes must not write into a file
// descriptor that has since been given to something else.
int g_socketPair[2] = {-1, -1};
volatile std::sig_atomic_t g_firstReceived = 0;

void onSignal(int signal) {
  const int savedErrno = errno;  // the interrupted code may be about to read it
  if (g_firstReceived == 0) g_firstReceived = signal;
  const char byte = static_cast<char>(signal);
  // A full socket (a flood of signals nobody reads) drops the byte: one is enough.
  [[maybe_unused]] const auto written = ::write(g_socketPair[0], &byte, 1);
  errno = savedErrno;
}

void setHandler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : kSignals) ::sigaction(signal, &action, nullptr);
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
  if (g_socketPair[0] < 0) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_socketPair) != 0) {
      qWarning("Cannot watch for termination signals: %s", std::strerror(errno));
      return;
    }
  }
  // What an earlier watcher left unread is no signal to this one.
  char stale[16];
  while (::read(g_socketPair[1], stale, sizeof stale) > 0) {
  }
  m_notifier = new QSocketNotifier(g_socketPair[1], QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readSignals);
  setHandler(onSignal);
}

TerminationSignals::~TerminationSignals() {
  if (m_notifier) setHandler(SIG_DFL);
}

int TerminationSignals::firstReceived() {
  return g_firstReceived;
}

const char* TerminationSignals::name(int signal) {
  switch (signal) {
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
  }
  return "a signal";
}

void TerminationSignals::readSignals() {
  char bytes[16];
  for (;;) {
    const ssize_t count = ::read(g_socketPair[1], bytes, sizeof bytes);
    if (count <= 0) return;  // drained (EAGAIN), or interrupted: the notifier comes again
    for (ssize_t i = 0; i < count; ++i) emit received(bytes[i]);
  }
}

}  // namespace parlowvista
