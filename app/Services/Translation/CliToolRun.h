#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>

class QProcess;

namespace parlowvista {

// How one run of a provider's command-line tool ended.
struct CliOutcome {
  enum class Kind { exited, failedToStart, timedOut, cancelled };
  Kind kind = Kind::exited;
  // Zero only for a normal exit with status 0; a crash counts as non-zero.
  int exitCode = 0;
  QByteArray standardOutput;
  QByteArray standardError;
  // failedToStart: the system's description of why.
  QString startError;
};

// Runs one provider tool as a child process without blocking the UI thread.
// QProcess drains both pipes while the child runs, so a reply larger than a
// pipe buffer cannot stall it. The child runs in its own process group, which
// is killed on cancel(), on time-out and when this object goes away.
class CliToolRun : public QObject {
  Q_OBJECT
 public:
  using Completion = std::function<void(const CliOutcome&)>;

  explicit CliToolRun(QObject* parent = nullptr);
  ~CliToolRun() override;

  // Starts `program` with exactly `arguments`; the environment and working
  // folder are the application's. `done` runs exactly once, later.
  void start(const QString& program, const QStringList& arguments, int timeoutMs, Completion done);

  void cancel();

  bool isRunning() const { return !m_process.isNull(); }

 private:
  void finish(CliOutcome outcome);
  void stopChild();

  QPointer<QProcess> m_process;
  QTimer m_timeout;
  Completion m_done;
};

// Decodes a tool's output; nothing when it is not valid UTF-8.
std::optional<QString> decodeToolOutput(const QByteArray& bytes);

// The first of `candidates` that is an executable file; otherwise the first
// name that "/usr/bin/which" resolves (its output trimmed, not re-checked);
// otherwise nothing. Blocks the caller while "which" runs.
std::optional<QString> findCommandLineTool(const QStringList& candidates, const QStringList& whichNames);

}  // namespace parlowvista
