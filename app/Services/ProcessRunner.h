#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <sys/types.h>

#include <functional>
#include <optional>

class QProcess;

namespace parlowvista {

// How one child process ended.
struct ProcessOutcome {
  enum class Kind { exited, failedToStart, timedOut, cancelled };
  Kind kind = Kind::exited;
  // exited: the exit status, -1 when a signal ended the child. Every other kind: -1.
  int exitCode = -1;
  // exited: the signal that ended the child (SIGKILL from the out-of-memory killer, say), 0 when
  // it ended by itself.
  int signal = 0;
  // What the child wrote to each stream (also after a time-out or a cancel: what came before the
  // end). Line callbacks do not take anything away from these. Standard output is kept whole;
  // of standard error only its last kErrorTail bytes, from the start of a line: what a reader
  // needs of it is its last lines, and a tool that writes without end there must not take the
  // application's memory with it.
  QByteArray standardOutput;
  QByteArray standardError;
  static constexpr qsizetype kErrorTail = qsizetype(64) << 10;
  // failedToStart: the system's description of why.
  QString startError;

  bool succeeded() const { return kind == Kind::exited && exitCode == 0; }
};

// What to run. The program gets exactly `arguments`, never through a shell, with the
// application's environment and working folder, and the null device as its standard
// input: a tool that reads its input (as `claude -p` does when it is a pipe) sees its
// end at once instead of waiting for it forever.
struct ProcessRequest {
  QString program;  // an absolute path (see ToolLocator), or a name looked up on PATH
  QStringList arguments;
  // runToEnd() only: bytes given to the child's standard input instead of the null device, as it
  // takes them (while its output is read: neither side waits on the other), then its end. Not
  // copied: they must outlive the run.
  std::optional<QByteArrayView> standardInput;
  // runToEnd() only: called with standard output's bytes as they arrive, in pieces of any size,
  // instead of keeping them in the outcome (a tool's output of a whole recording need not be held
  // twice).
  std::function<void(QByteArrayView bytes)> standardOutputData;
  // Limit for the whole run in milliseconds; 0 or less: none.
  int timeoutMs = 0;
  // Called with each complete line of a stream as it arrives, without its line feed;
  // a last line without one comes at the end, before the completion.
  std::function<void(const QByteArray& line)> standardOutputLine;
  std::function<void(const QByteArray& line)> standardErrorLine;
  // What the child makes is readable and writable by the user alone, whatever the application's
  // umask (for a tool that writes into the shared temporary folder).
  bool privateFiles = false;
};

// The one way this application runs a child process (provider tools, the downloader,
// ffmpeg). It never blocks its thread on the child: both pipes are drained as data
// arrives, so a child writing more than a pipe holds never stalls, and everything is
// reported through callbacks on the thread the runner lives on (it needs that thread's
// event loop; in this application the UI thread).
//
// The child runs in a process group of its own. cancel(), the deadline and the runner's
// destruction kill the whole group with SIGKILL, so whatever the tool started itself (a
// node or python tool's worker, yt-dlp's ffmpeg) goes with it; reaping the killed child
// takes the runner's thread a moment at most.
//
// The child is also killed (SIGKILL) when the thread that started it ends, and so when the
// application ends by any road, a SIGKILL or a crash included. That thread is the runner's
// (the UI thread in this application, which lasts as long as the process) or runToEnd()'s
// caller, which waits for the child. What the tool started itself is reached through its
// group: the guardian (ToolGuardian, where the application started one) is told the group from
// the child's start to its end, and kills it should the application end in between.
//
// One run at a time. Callbacks may call cancel() or start(); they must not destroy the
// runner (use deleteLater()).
class ProcessRunner : public QObject {
  Q_OBJECT
 public:
  using Completion = std::function<void(const ProcessOutcome&)>;

  explicit ProcessRunner(QObject* parent = nullptr);
  // Kills a running child's group; no callback runs after this.
  ~ProcessRunner() override;

  // Starts the run and returns at once. `done` runs exactly once: later, never from inside
  // start(), or from inside cancel(). A run still in flight is cancelled first.
  void start(ProcessRequest request, Completion done);

  // Kills the running child's group; the run's completion receives `cancelled` before
  // this returns. Without a run in flight, nothing happens.
  void cancel();

  bool isRunning() const { return m_running; }

  // The same run to its end on the calling thread, for worker threads and the few callers
  // whose own contract is synchronous: it blocks until the child ends, so never use it on
  // the UI thread for anything long. Needs no event loop; line callbacks run on the calling
  // thread. `shouldStop`, when given, is asked about every 50 ms: true kills the group and
  // the outcome is `cancelled`.
  static ProcessOutcome runToEnd(const ProcessRequest& request, const std::function<bool()>& shouldStop = {});

 private:
  void readChannel(bool errorChannel, quint64 run);
  bool flushPartialLines(quint64 run);
  void processFinished(int exitCode, bool crashed, quint64 run);
  void finish(ProcessOutcome outcome);
  void stopChild();

  QPointer<QProcess> m_process;
  ProcessRequest m_request;
  Completion m_done;
  QTimer m_deadline;
  // The running child's process group, told to the guardian (ToolGuardian) until it ends; 0: none.
  pid_t m_group = 0;
  bool m_running = false;
  // Tells a callback's run from a later one: every start and every end counts it up.
  quint64 m_run = 0;
  QByteArray m_output[2];   // standard output, standard error
  QByteArray m_partial[2];  // the line each stream has begun and not yet ended
};

// A tool's output as text; nothing when it is not valid UTF-8.
std::optional<QString> decodeToolOutput(const QByteArray& bytes);

}  // namespace parlowvista
