#include "Services/ToolGuardian.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
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

// The signal the kernel sends the guardian as the application's main thread ends, which comes
// with the application's end however it ends. The end of file comes only once the last of the
// application's threads is gone: on a busy machine that may be seconds later, a large address
// space being torn down by a thread that gets little of a processor.
constexpr int kEndSignal = SIGUSR1;
// In the guardian: the application it guards, and whether it has begun to end.
pid_t g_application = 0;
volatile sig_atomic_t g_ending = 0;

void setDisposition(int signal, void (*disposition)(int)) {
  struct sigaction action {};
  action.sa_handler = disposition;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
}

// The kernel sends the signal in the name of the application's ending thread; the same signal
// from another process is not the application's end.
void noteEnd(int, siginfo_t* info, void*) {
  if (info->si_code == SI_USER && (info->si_pid == g_application || info->si_pid == 0)) g_ending = 1;
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

// The groups of the tools still running.
struct Groups {
  std::array<pid_t, kMostGroups> list{};
  int count = 0;

  void note(const Word& word) {
    if (word.group <= 1) return;
    if (word.watch != 0) {
      if (count < kMostGroups) list[count++] = word.group;
      return;
    }
    for (int i = 0; i < count; ++i) {
      if (list[i] != word.group) continue;
      list[i] = list[--count];
      return;
    }
  }
  void killAll() {
    for (int i = 0; i < count; ++i) ::kill(-list[i], SIGKILL);
    count = 0;
  }
};

// Reads every word waiting. False once the application's end of the socket is closed.
bool readWaiting(Groups& groups) {
  for (;;) {
    Word word{};
    const ssize_t received = ::recv(kGuardianSocket, &word, sizeof word, MSG_DONTWAIT);
    if (received == static_cast<ssize_t>(sizeof word)) {
      groups.note(word);
    } else if (received < 0 && errno == EINTR) {
      continue;
    } else if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    } else if (received <= 0) {
      return false;
    }
  }
}

// The guardian's life. Nothing but system calls, on its own stack: sound even in a copy of a
// process that had threads, whose locks (the allocator's, say) may have been held as it forked.
// `endSignal`: the application's main thread forked it, whose end is the application's.
[[noreturn]] void guard(int socket, pid_t application, bool endSignal) {
  // The application's handlers (a test program's crash report) are not the guardian's; the
  // signals that end the application gently leave the guardian to end with it.
  for (int signal = 1; signal < NSIG; ++signal) setDisposition(signal, SIG_DFL);
  for (const int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE}) setDisposition(signal, SIG_IGN);
  g_application = application;
  struct sigaction onEnd {};
  onEnd.sa_sigaction = noteEnd;
  onEnd.sa_flags = SA_SIGINFO;
  sigemptyset(&onEnd.sa_mask);
  ::sigaction(kEndSignal, &onEnd, nullptr);
  // The end signal waits while the guardian works, and comes only while it waits for words
  // (ppoll below): one that comes in between is not missed.
  sigset_t none;
  sigemptyset(&none);
  sigset_t waiting = none;
  sigaddset(&waiting, kEndSignal);
  ::sigprocmask(SIG_SETMASK, &waiting, nullptr);
  if (endSignal) {
    ::prctl(PR_SET_PDEATHSIG, kEndSignal);
    // An application that ended before that is no longer the parent.
    if (::getppid() != application) g_ending = 1;
  }
  ::setpgid(0, 0);
  ::prctl(PR_SET_NAME, "tool-guardian");
  [[maybe_unused]] const int inRoot = ::chdir("/");
  keepOnlySocket(socket);

  Groups groups;
  // Once the application ends, what it told last is read and every group is killed; a group
  // told of after that (by a thread that was still going) is killed as soon as it is read.
  while (readWaiting(groups)) {
    if (g_ending) groups.killAll();
    pollfd socketReady{kGuardianSocket, POLLIN, 0};
    ::ppoll(&socketReady, 1, nullptr, &none);
  }
  groups.killAll();
  ::_exit(0);
}

// Reaps the guardian as soon as it ends (it was killed, say), so that it does not stay a zombie
// for as long as the application runs.
void* reap(void* guardian) {
  const auto pid = static_cast<pid_t>(reinterpret_cast<std::intptr_t>(guardian));
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return nullptr;
}

void startReaper(pid_t guardian) {
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // It takes none of the application's signals (it inherits the mask in force as it starts).
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &before);
  pthread_t thread;
  if (::pthread_create(&thread, &attributes, reap, reinterpret_cast<void*>(static_cast<std::intptr_t>(guardian))) == 0)
    ::pthread_setname_np(thread, "guardian-reaper");
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::pthread_attr_destroy(&attributes);
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
  const pid_t application = ::getpid();
  // The parent-death signal comes as the forking thread ends: only the main thread's end is the
  // application's (any other thread's would have the guardian kill running tools).
  const bool mainThread = ::syscall(SYS_gettid) == application;
  const pid_t guardian = own < 0 ? -1 : ::fork();
  if (guardian == 0) guard(ends[1], application, mainThread);
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
  startReaper(guardian);
  return true;
}

void ToolGuardian::watch(pid_t group) {
  if (group > 1) tell(Word{1, static_cast<std::int32_t>(group)});
}

void ToolGuardian::forget(pid_t group) {
  if (group > 1) tell(Word{0, static_cast<std::int32_t>(group)});
}

}  // namespace parlowvista
