#pragma once

// Starts programs with posix_spawn, for tests that also run under ThreadSanitizer: QProcess
// (Qt 6.4) starts a child with clone(CLONE_VM | CLONE_VFORK), and the child then runs the
// sanitizer's own hooks in the parent's memory until it execs; the parent's thread is left
// unwatched from then on, and races are reported that are none.

#include <QByteArray>
#include <QFile>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QThread>

#include <chrono>
#include <csignal>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

class Spawned {
 public:
  // Runs `program` with `arguments`; its standard output and error go to `outputFile` (a new
  // file), or stay the test's own when it is empty.
  Spawned(const QString& program, const QStringList& arguments, const QString& outputFile = {},
          const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    std::vector<QByteArray> storage;
    storage.push_back(QFile::encodeName(program));
    for (const QString& argument : arguments) storage.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& value : storage) argv.push_back(value.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> environmentStorage;
    for (const QString& entry : environment.toStringList()) environmentStorage.push_back(entry.toLocal8Bit());
    std::vector<char*> envp;
    for (QByteArray& value : environmentStorage) envp.push_back(value.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray output = QFile::encodeName(outputFile);
    if (!outputFile.isEmpty()) {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Spawned() { kill(); }
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;

  pid_t pid() const { return m_pid; }
  bool isRunning() {
    poll();
    return m_pid > 0 && !m_status;
  }
  // The exit code once it has ended by itself within `timeoutMs` (the event loop does not run
  // meanwhile, as with QProcess::waitForFinished()); nothing when it did not, or was ended by a
  // signal.
  std::optional<int> waitForExit(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (isRunning() && std::chrono::steady_clock::now() < end) QThread::msleep(5);
    if (!m_status || !WIFEXITED(*m_status)) return std::nullopt;
    return WEXITSTATUS(*m_status);
  }
  // The signal that ended it, once it has ended; 0 when it exited by itself.
  std::optional<int> endingSignal() {
    poll();
    if (!m_status) return std::nullopt;
    return WIFSIGNALED(*m_status) ? WTERMSIG(*m_status) : 0;
  }
  void kill() {
    if (!isRunning()) return;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    if (::waitpid(m_pid, &status, 0) == m_pid) m_status = status;
  }

 private:
  void poll() {
    if (m_pid <= 0 || m_status) return;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) m_status = status;
  }

  pid_t m_pid = -1;
  std::optional<int> m_status;
};

}  // namespace testsupport
