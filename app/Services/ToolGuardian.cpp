#include "Services/ToolGuardian.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace parlowvista {

namespace {

// One word to the guardian. A packet socket keeps each whole, whichever thread sends it.
struct Word {
  std::int32_t watch;  // 1: kill the group should the application end; 0: leave it alone again
  std::int32_t group;
};

// Far more tools than the application ever runs at once; a group beyond them is not watched.
constexpr int kMostGroups = 1024;
// The longest a word may wait for room (the guardian reads at once; a stopped one does not).
constexpr suseconds_t kSendWaitMicroseconds = 200 * 1000;
// The guardian's end of the pair, after its standard streams.
constexpr int kGuardianSocket = 3;

// The application's end; -1 without a guardian, or once it could not be told. Never closed: its
// end of file is the guardian's signal to kill.
std::atomic<int> g_socket{-1};

void setDisposition(int signal, void (*disposition)(int)) {
  struct sigaction action {};
  action.sa_handler = disposition;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
}

// The guardian's standard streams are the null device (a pipe the application's starter reads
// to its end is not held open by it) and the socket the next descriptor; nothing else stays open.
void keepOnlySocket(int socket) {
  const int held = ::fcntl(socket, F_DUPFD, kGuardianSocket + 1);
  const int null = ::open("/dev/null", O_RDWR);
  for (int stream = 0; stream < kGuardianSocket; ++stream) ::dup2(null, stream);
  ::dup2(held, kGuardianSocket);
  if (::close_range(kGuardianSocket + 1, ~0U, 0) != 0) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    for (rlim_t descriptor = kGuardianSocket + 1; descriptor < limit.rlim_cur && descriptor < (1U << 20); ++descriptor)
      ::close(static_cast<int>(descriptor));
  }
}

// The guardian's life. Nothing but system calls, on its own stack: sound even in a copy of a
// process that had threads, whose locks (the allocator's, say) may have been held as it forked.
[[noreturn]] void guard(int socket) {
  // The application's handlers (a test program's crash report) are not the guardian's; the
  // signals that end the application gently leave the guardian to end with it.
  for (int signal = 1; signal < NSIG; ++signal) setDisposition(signal, SIG_DFL);
  for (const int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE}) setDisposition(signal, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::setpgid(0, 0);
  ::prctl(PR_SET_NAME, "tool-guardian");
  [[maybe_unused]] const int inRoot = ::chdir("/");
  keepOnlySocket(socket);

  std::array<pid_t, kMostGroups> groups{};
  int count = 0;
  for (;;) {
    Word word{};
    const ssize_t received = ::recv(kGuardianSocket, &word, sizeof word, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) break;  // the application is gone
    if (received != sizeof word || word.group <= 1) continue;
    if (word.watch != 0) {
      if (count < kMostGroups) groups[count++] = word.group;
      continue;
    }
    for (int i = 0; i < count; ++i) {
      if (groups[i] != word.group) continue;
      groups[i] = groups[--count];
      break;
    }
  }
  for (int i = 0; i < count; ++i) ::kill(-groups[i], SIGKILL);
  ::_exit(0);
}

bool unguarded(int error) {
  std::fprintf(stderr,
               "[Parlowvista] No tool guardian (%s): what a tool starts itself may run on after the application "
               "ends\n",
               std::strerror(error));
  return false;
}

void tell(const Word& word) {
  const int socket = g_socket.load();
  if (socket < 0) return;
  ssize_t sent = 0;
  // MSG_NOSIGNAL: a guardian that is gone answers EPIPE rather than ending the application.
  do sent = ::send(socket, &word, sizeof word, MSG_NOSIGNAL);
  while (sent < 0 && errno == EINTR);
  if (sent == static_cast<ssize_t>(sizeof word)) return;
  const int error = errno;
  // Killed, or stopped with words unread: it is told nothing more (each word would wait again).
  // The socket stays open: its end would have the guardian kill the groups it knows, tools that
  // still run among them.
  if (g_socket.exchange(-1) >= 0) {
    std::fprintf(stderr,
                 "[Parlowvista] The tool guardian cannot be told (%s): what a tool starts itself may run on "
                 "after the application ends\n",
                 std::strerror(error));
  }
}

}  // namespace

bool ToolGuardian::start() {
  if (g_socket.load() >= 0) return true;
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return unguarded(errno);
  // Started without standard streams, the application could have been given one of them: the
  // first file it opens later would then be taken for the guardian's socket.
  const int own = ::fcntl(ends[0], F_DUPFD_CLOEXEC, kGuardianSocket);
  const pid_t guardian = own < 0 ? -1 : ::fork();
  if (guardian == 0) guard(ends[1]);
  const int error = errno;
  ::close(ends[0]);
  ::close(ends[1]);
  if (guardian < 0) {
    if (own >= 0) ::close(own);
    return unguarded(error);
  }
  const timeval wait{0, kSendWaitMicroseconds};
  ::setsockopt(own, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  g_socket = own;
  return true;
}

void ToolGuardian::watch(pid_t group) {
  if (group > 1) tell(Word{1, static_cast<std::int32_t>(group)});
}

void ToolGuardian::forget(pid_t group) {
  if (group > 1) tell(Word{0, static_cast<std::int32_t>(group)});
}

}  // namespace parlowvista
