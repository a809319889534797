#include "Services/Translation/CliToolRun.h"

#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>

#include <signal.h>
#include <unistd.h>

namespace parlowvista {

CliToolRun::CliToolRun(QObject* parent) : QObject(parent) {
  m_timeout.setSingleShot(true);
  connect(&m_timeout, &QTimer::timeout, this, [this] {
    stopChild();
    finish(CliOutcome{CliOutcome::Kind::timedOut, -1, {}, {}, {}});
  });
}

CliToolRun::~CliToolRun() {
  m_done = nullptr;
  stopChild();
}

void CliToolRun::start(const QString& program, const QStringList& arguments, int timeoutMs, Completion done) {
  stopChild();
  m_done = std::move(done);
  auto* process = new QProcess(this);
  m_process = process;
  process->setProgram(program);
  process->setArguments(arguments);
  process->setProcessChannelMode(QProcess::SeparateChannels);
  // Its own process group, so stopping the tool also stops whatever it started
  // (a node or python tool often runs the real work in a child).
  process->setChildProcessModifier([] { ::setpgid(0, 0); });

  connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart || m_process != process) return;
    CliOutcome outcome;
    outcome.kind = CliOutcome::Kind::failedToStart;
    outcome.exitCode = -1;
    outcome.startError = process->errorString();
    m_process = nullptr;
    process->deleteLater();
    m_timeout.stop();
    // QProcess reports a failed start from inside start(); the caller is
    // promised its answer later, never re-entrantly.
    QTimer::singleShot(0, this, [this, outcome] { finish(outcome); });
  });
  connect(process, &QProcess::finished, this, [this, process](int exitCode, QProcess::ExitStatus status) {
    if (m_process != process) return;
    CliOutcome outcome;
    outcome.kind = CliOutcome::Kind::exited;
    outcome.exitCode = status == QProcess::CrashExit ? -1 : exitCode;
    outcome.standardOutput = process->readAllStandardOutput();
    outcome.standardError = process->readAllStandardError();
    m_process = nullptr;
    process->deleteLater();
    finish(outcome);
  });

  m_timeout.start(timeoutMs);
  process->start(QIODevice::ReadOnly);
}

void CliToolRun::cancel() {
  if (!m_process) return;
  stopChild();
  finish(CliOutcome{CliOutcome::Kind::cancelled, -1, {}, {}, {}});
}

void CliToolRun::stopChild() {
  m_timeout.stop();
  if (!m_process) return;
  QProcess* process = m_process;
  m_process = nullptr;
  process->disconnect(this);
  if (process->state() != QProcess::NotRunning) {
    const qint64 pid = process->processId();
    if (pid > 0) ::kill(static_cast<pid_t>(-pid), SIGKILL);
    process->kill();
    // The child is gone right after SIGKILL; reaping it here keeps no zombie.
    process->waitForFinished(1000);
  }
  process->deleteLater();
}

void CliToolRun::finish(CliOutcome outcome) {
  m_timeout.stop();
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

std::optional<QString> findCommandLineTool(const QStringList& candidates, const QStringList& whichNames) {
  for (const QString& candidate : candidates) {
    const QFileInfo info(candidate);
    if (info.isFile() && info.isExecutable()) return candidate;
  }
  for (const QString& name : whichNames) {
    QProcess which;
    which.setProgram(QStringLiteral("/usr/bin/which"));
    which.setArguments({name});
    which.setStandardErrorFile(QProcess::nullDevice());
    which.start(QIODevice::ReadOnly);
    if (!which.waitForStarted(5000)) continue;
    if (!which.waitForFinished(10'000)) {
      which.kill();
      which.waitForFinished(1000);
      continue;
    }
    if (which.exitStatus() != QProcess::NormalExit || which.exitCode() != 0) continue;
    const std::optional<QString> output = decodeToolOutput(which.readAllStandardOutput());
    if (!output) continue;
    const QString path = output->trimmed();
    if (!path.isEmpty()) return path;
  }
  return std::nullopt;
}

}  // namespace parlowvista
