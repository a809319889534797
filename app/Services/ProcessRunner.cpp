#include "Services/ProcessRunner.h"

#include "Services/ToolGuardian.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QStringDecoder>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace parlowvista {

namespace {

constexpr int kReapWaitMs = 1000;
constexpr int kPollMs = 50;
// Standard input is handed to the process this much at a time, and no more is queued while this
// much still waits for the child to take it: the bytes given are never copied whole.
constexpr qsizetype kInputPiece = qsizetype(1) << 20;

// Null standard input (unless the request gives one: runToEnd() only), separate channels, a
// process group of its own, and a life no longer than the thread that starts it.
void prepare(QProcess& process, const ProcessRequest& request, bool feedsInput = false) {
  process.setProgram(request.program);
  process.setArguments(request.arguments);
  process.setProcessChannelMode(QProcess::SeparateChannels);
  if (!feedsInput) process.setStandardInputFile(QProcess::nullDevice());
  const pid_t application = ::getpid();
  const bool privateFiles = request.privateFiles;
  // Runs in the child before it becomes the tool: system calls only, as the child may still
  // share the application's memory then.
  process.setChildProcessModifier([application, privateFiles] {
    if (privateFiles) ::umask(077);
    // A group of its own, so that stopping the tool also stops what it started.
    ::setpgid(0, 0);
    // Killed as the application ends, by any road, SIGKILL and crashes included: nothing else
    // would stop a tool writing its file to the end, unseen, long after. An application that
    // ended while the child was being made is no longer its parent: the tool does not start.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != application) ::_exit(127);
  });
}

// A started tool's group (its process id), told to the guardian; 0 when it did not start.
pid_t watchGroup(const QProcess& process) {
  const auto group = static_cast<pid_t>(process.processId());
  ToolGuardian::watch(group);
  return group;
}

// The group is no longer the tool's once the tool has ended: the guardian lets it go.
void letGo(pid_t& group) {
  if (group > 0) ToolGuardian::forget(std::exchange(group, 0));
}

void killGroup(QProcess& process, pid_t& group) {
  if (process.state() != QProcess::NotRunning && group > 0) ::kill(-group, SIGKILL);
  // Before the reaping below: until then the group's number is the tool's and no other's.
  letGo(group);
  if (process.state() == QProcess::NotRunning) return;
  process.kill();
  // The child is gone right after SIGKILL; reaping it here leaves no zombie.
  process.waitForFinished(kReapWaitMs);
}

// Hands each complete line of `pending` to `callback` and keeps the unfinished rest.
void splitLines(QByteArray& pending, const std::function<void(const QByteArray&)>& callback) {
  qsizetype begin = 0;
  for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n', begin)) {
    callback(pending.mid(begin, end - begin));
    begin = end + 1;
  }
  pending.remove(0, begin);
}

// Cuts what is kept of standard error to its last ProcessOutcome::kErrorTail bytes, from the start
// of a line; where the last line alone is longer, from the start of a character in it.
void cutToTail(QByteArray& kept) {
  if (kept.size() <= ProcessOutcome::kErrorTail) return;
  qsizetype cut = kept.size() - ProcessOutcome::kErrorTail;
  const qsizetype lineEnd = kept.indexOf('\n', cut - 1);
  if (lineEnd >= 0 && lineEnd + 1 < kept.size()) {
    cut = lineEnd + 1;
  } else {
    while (cut < kept.size() && (static_cast<unsigned char>(kept[cut]) & 0xC0) == 0x80) ++cut;
  }
  kept.remove(0, cut);
}

// Adds to what is kept of standard error. Cut only once it holds twice the tail: a tool that
// writes a line at a time is not answered with a move of the whole tail each time.
void keepTail(QByteArray& kept, QByteArrayView bytes) {
  if (bytes.size() > 2 * ProcessOutcome::kErrorTail) {
    kept = bytes.last(2 * ProcessOutcome::kErrorTail).toByteArray();
  } else {
    kept += bytes;
  }
  if (kept.size() > 2 * ProcessOutcome::kErrorTail) cutToTail(kept);
}

}  // namespace

ProcessOutcome ProcessRunner::runToEnd(const ProcessRequest& request, const std::function<bool()>& shouldStop) {
  QProcess process;
  const bool feedsInput = request.standardInput.has_value();
  prepare(process, request, feedsInput);
  ProcessOutcome outcome;
  process.start(feedsInput ? QIODevice::ReadWrite : QIODevice::ReadOnly);
  if (!process.waitForStarted(-1)) {
    outcome.kind = ProcessOutcome::Kind::failedToStart;
    outcome.startError = process.errorString();
    return outcome;
  }
  pid_t group = watchGroup(process);
  QByteArray partial[2];
  const auto take = [&](int stream) {
    const QByteArray bytes = stream == 1 ? process.readAllStandardError() : process.readAllStandardOutput();
    if (bytes.isEmpty()) return;
    if (stream == 0 && request.standardOutputData) return request.standardOutputData(bytes);
    if (stream == 1) {
      keepTail(outcome.standardError, bytes);
    } else {
      outcome.standardOutput += bytes;
    }
    const auto& callback = stream == 1 ? request.standardErrorLine : request.standardOutputLine;
    if (!callback) return;
    partial[stream] += bytes;
    splitLines(partial[stream], callback);
  };
  const auto drain = [&] {
    take(0);
    take(1);
  };
  // The waits below read the pipes for as long as they wait: what they read is taken at once,
  // as it comes, never gathered in the process's buffers until they return (a tool that floods
  // one stream would fill memory in the meantime).
  const QMetaObject::Connection taking[2] = {
      QObject::connect(&process, &QProcess::readyReadStandardOutput, [&] { take(0); }),
      QObject::connect(&process, &QProcess::readyReadStandardError, [&] { take(1); })};
  // Before what they take into goes: the process, destroyed last, may still read as it goes.
  const auto stopTaking = qScopeGuard([&taking] {
    for (const QMetaObject::Connection& connection : taking) QObject::disconnect(connection);
  });
  // The input goes a piece at a time as the child takes it, its end (the channel closed) after it.
  qsizetype fed = 0;
  bool inputEnded = !feedsInput;
  const auto feed = [&] {
    if (inputEnded) return;
    const QByteArrayView input = *request.standardInput;
    while (fed < input.size() && process.bytesToWrite() < kInputPiece) {
      const qsizetype piece = std::min(kInputPiece, input.size() - fed);
      // Refused once the child has closed its end (it ended): nothing more can go.
      if (process.write(input.data() + fed, piece) != piece) break;
      fed += piece;
    }
    if (fed == input.size()) {
      process.closeWriteChannel();
      inputEnded = true;
    }
  };
  QElapsedTimer clock;
  clock.start();
  // Both waits drain the pipes into the process's buffers while they wait; the one for the input
  // returns as soon as the child took some of it.
  while (process.state() != QProcess::NotRunning) {
    feed();
    if (process.bytesToWrite() > 0) {
      process.waitForBytesWritten(kPollMs);
    } else {
      process.waitForFinished(kPollMs);
    }
    drain();
    if (process.state() == QProcess::NotRunning) break;
    const bool late = request.timeoutMs > 0 && clock.elapsed() >= request.timeoutMs;
    if (late || (shouldStop && shouldStop())) {
      killGroup(process, group);
      outcome.kind = late ? ProcessOutcome::Kind::timedOut : ProcessOutcome::Kind::cancelled;
      cutToTail(outcome.standardError);
      return outcome;
    }
  }
  letGo(group);
  drain();
  cutToTail(outcome.standardError);
  for (int stream = 0; stream < 2; ++stream) {
    const auto& callback = stream == 1 ? request.standardErrorLine : request.standardOutputLine;
    if (callback && !partial[stream].isEmpty()) callback(partial[stream]);
  }
  outcome.kind = ProcessOutcome::Kind::exited;
  const bool signalled = process.exitStatus() == QProcess::CrashExit;
  outcome.exitCode = signalled ? -1 : process.exitCode();
  // Qt keeps the signal that ended the child where its exit status would be.
  outcome.signal = signalled ? process.exitCode() : 0;
  return outcome;
}

ProcessRunner::ProcessRunner(QObject* parent) : QObject(parent) {
  m_deadline.setSingleShot(true);
  connect(&m_deadline, &QTimer::timeout, this, [this] {
    if (!m_running) return;
    ProcessOutcome outcome;
    outcome.kind = ProcessOutcome::Kind::timedOut;
    stopChild();
    finish(std::move(outcome));
  });
}

ProcessRunner::~ProcessRunner() {
  m_done = nullptr;
  m_request = {};
  stopChild();
}

void ProcessRunner::start(ProcessRequest request, Completion done) {
  if (m_running) cancel();
  const quint64 run = ++m_run;
  m_request = std::move(request);
  m_done = std::move(done);
  m_running = true;
  for (int i = 0; i < 2; ++i) {
    m_output[i].clear();
    m_partial[i].clear();
  }

  auto* process = new QProcess(this);
  m_process = process;
  prepare(*process, m_request);

  connect(process, &QProcess::readyReadStandardOutput, this, [this, run] { readChannel(false, run); });
  connect(process, &QProcess::readyReadStandardError, this, [this, run] { readChannel(true, run); });
  connect(process, &QProcess::finished, this, [this, run](int exitCode, QProcess::ExitStatus status) {
    letGo(m_group);
    processFinished(exitCode, status == QProcess::CrashExit, run);
  });
  connect(process, &QProcess::errorOccurred, this, [this, process, run](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;
    letGo(m_group);
    if (run != m_run) return;
    ProcessOutcome outcome;
    outcome.kind = ProcessOutcome::Kind::failedToStart;
    outcome.startError = process->errorString();
    // QProcess reports a failed start from inside start(); the caller is promised its
    // answer later, never re-entrantly. A cancel() before then answers instead.
    QTimer::singleShot(0, this, [this, outcome, run] {
      if (run == m_run && m_running) finish(outcome);
    });
  });

  if (m_request.timeoutMs > 0) m_deadline.start(m_request.timeoutMs);
  process->start(QIODevice::ReadOnly);
  m_group = watchGroup(*process);
}

void ProcessRunner::cancel() {
  if (!m_running) return;
  ProcessOutcome outcome;
  outcome.kind = ProcessOutcome::Kind::cancelled;
  stopChild();
  finish(std::move(outcome));
}

void ProcessRunner::readChannel(bool errorChannel, quint64 run) {
  if (run != m_run || !m_process) return;
  const QByteArray bytes = errorChannel ? m_process->readAllStandardError() : m_process->readAllStandardOutput();
  if (bytes.isEmpty()) return;
  const int stream = errorChannel ? 1 : 0;
  if (errorChannel) {
    keepTail(m_output[1], bytes);
  } else {
    m_output[0] += bytes;
  }
  // A copy: a callback that starts another run replaces the request it came from.
  const auto callback = errorChannel ? m_request.standardErrorLine : m_request.standardOutputLine;
  if (!callback) return;
  QByteArray& pending = m_partial[stream];
  pending += bytes;
  qsizetype begin = 0;
  for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n', begin)) {
    const QByteArray line = pending.mid(begin, end - begin);
    begin = end + 1;
    callback(line);
    if (run != m_run) return;
  }
  pending.remove(0, begin);
}

bool ProcessRunner::flushPartialLines(quint64 run) {
  for (int stream = 0; stream < 2; ++stream) {
    const auto callback = stream == 1 ? m_request.standardErrorLine : m_request.standardOutputLine;
    const QByteArray line = std::exchange(m_partial[stream], QByteArray());
    if (!callback || line.isEmpty()) continue;
    callback(line);
    if (run != m_run) return false;
  }
  return true;
}

void ProcessRunner::processFinished(int exitCode, bool crashed, quint64 run) {
  if (run != m_run) return;
  // What the child wrote just before it ended may not have been announced yet.
  readChannel(false, run);
  if (run != m_run) return;
  readChannel(true, run);
  if (run != m_run || !flushPartialLines(run)) return;
  ProcessOutcome outcome;
  outcome.kind = ProcessOutcome::Kind::exited;
  outcome.exitCode = crashed ? -1 : exitCode;
  // Qt keeps the signal that ended the child where its exit status would be.
  outcome.signal = crashed ? exitCode : 0;
  finish(std::move(outcome));
}

void ProcessRunner::stopChild() {
  m_deadline.stop();
  if (!m_process) return;
  QProcess* process = m_process;
  m_process = nullptr;
  process->disconnect(this);
  killGroup(*process, m_group);
  process->deleteLater();
}

void ProcessRunner::finish(ProcessOutcome outcome) {
  m_deadline.stop();
  if (m_process) {
    m_process->disconnect(this);
    m_process->deleteLater();
    m_process = nullptr;
  }
  outcome.standardOutput = std::exchange(m_output[0], QByteArray());
  outcome.standardError = std::exchange(m_output[1], QByteArray());
  cutToTail(outcome.standardError);
  m_partial[0].clear();
  m_partial[1].clear();
  m_running = false;
  ++m_run;
  m_request = {};
  Completion done = std::move(m_done);
  m_done = nullptr;
  if (done) done(outcome);
}

std::optional<QString> decodeToolOutput(const QByteArray& bytes) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = decoder.decode(bytes);
  if (decoder.hasError()) return std::nullopt;
  return text;
}

}  // namespace parlowvista
