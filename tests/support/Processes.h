#pragma once

// Processes as /proc shows them, for tests of what a program leaves running.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// The fields of /proc/<pid>/stat after the command's name: state, parent, group, ...; none when
// the process is gone.
inline QList<QByteArray> statusFields(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return {};
  const QByteArray text = stat.readAll();
  // The name, in parentheses, may hold spaces and parentheses of its own.
  return text.mid(text.lastIndexOf(')') + 2).trimmed().split(' ');
}

// A process that is gone, or only waits to be reaped.
inline bool processEnded(qint64 pid) {
  const QList<QByteArray> fields = statusFields(pid);
  return fields.isEmpty() || fields[0] == "Z";
}

// The number of a process that has ended and been reaped (as of a program that is gone), for
// as long as the system gives it to no other; -1 when none could be made.
inline pid_t endedProcessId() {
  const pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  return ended > 0 && ::waitpid(ended, nullptr, 0) == ended ? ended : -1;
}

// The processes whose parent is `pid`, still running.
inline QList<qint64> childProcessesOf(qint64 pid) {
  QList<qint64> children;
  for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    bool number = false;
    const qint64 candidate = entry.toLongLong(&number);
    if (!number) continue;
    const QList<QByteArray> fields = statusFields(candidate);
    if (fields.size() > 1 && fields[1].toLongLong() == pid && fields[0] != "Z") children << candidate;
  }
  return children;
}

// Every process `pid` started, and what they started in turn, still running (as far as each is
// still the child of its starter).
inline QList<qint64> descendantsOf(qint64 pid) {
  QList<qint64> found = childProcessesOf(pid);
  for (qsizetype i = 0; i < found.size(); ++i) found += childProcessesOf(found[i]);
  return found;
}

// What a process runs, its arguments joined by spaces.
inline QString commandLineOf(qint64 pid) {
  QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromLocal8Bit(file.readAll().replace('\0', ' ').trimmed());
}

}  // namespace testsupport
