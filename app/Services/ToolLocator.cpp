#include "Services/ToolLocator.h"

#include "Services/ProcessRunner.h"

#include <QDebug>
#include <QFileInfo>
#include <QStandardPaths>

namespace parlowvista {

namespace {

constexpr int kVersionTimeoutMs = 10'000;

}  // namespace

std::optional<QString> ToolLocator::firstExecutable(const QStringList& paths) {
  for (const QString& path : paths) {
    const QFileInfo info(path);
    if (info.isFile() && info.isExecutable()) return path;
  }
  return std::nullopt;
}

std::optional<QString> ToolLocator::onSearchPath(const QString& name) {
  if (name.isEmpty() || name.contains(QLatin1Char('/'))) return std::nullopt;
  const QString found = QStandardPaths::findExecutable(name);
  if (found.isEmpty()) return std::nullopt;
  return found;
}

std::optional<QString> ToolLocator::find(const QStringList& paths, const QStringList& names) {
  if (std::optional<QString> fixed = firstExecutable(paths)) return fixed;
  for (const QString& name : names)
    if (std::optional<QString> found = onSearchPath(name)) return found;
  return std::nullopt;
}

std::optional<QString> ToolLocator::findPreferringPath(const QStringList& names, const QStringList& paths) {
  for (const QString& name : names)
    if (std::optional<QString> found = onSearchPath(name)) return found;
  return firstExecutable(paths);
}

void ToolLocator::logVersion(ProcessRunner& runner, const QString& label, const QString& tool,
                             const QStringList& versionArguments) {
  ProcessRequest request;
  request.program = tool;
  request.arguments = versionArguments;
  request.timeoutMs = kVersionTimeoutMs;
  runner.start(std::move(request), [label, tool](const ProcessOutcome& outcome) {
    QString version;
    if (outcome.succeeded()) {
      const QString text = decodeToolOutput(outcome.standardOutput).value_or(QString()).trimmed();
      version = text.section(QLatin1Char('\n'), 0, 0).trimmed();
    }
    if (version.isEmpty()) {
      switch (outcome.kind) {
        case ProcessOutcome::Kind::failedToStart:
          version = QStringLiteral("unknown (") + outcome.startError + ')';
          break;
        case ProcessOutcome::Kind::timedOut: version = QStringLiteral("unknown (no answer)"); break;
        case ProcessOutcome::Kind::cancelled: return;
        case ProcessOutcome::Kind::exited:
          version = QStringLiteral("unknown (exit status %1)").arg(outcome.exitCode);
          break;
      }
    }
    qInfo().noquote() << QStringLiteral("%1: %2, version %3").arg(label, tool, version);
  });
}

}  // namespace parlowvista
