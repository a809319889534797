#pragma once

// Runs some of this test program's own tests in a new process: for what a test cannot undo in
// its own process (a setting read once at start, a screen, a platform chosen before the
// application object exists).

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace testsupport {

// Set in the environment of such a child; without it, the *ChildProcess suites are left out.
inline constexpr const char* kChildRunVariable = "PV_TEST_CHILD_RUN";

struct ChildTestRun {
  bool finished = false;
  QProcess::ExitStatus exitStatus = QProcess::CrashExit;
  int exitCode = -1;
  QString output;  // standard output and error, merged
};

// `launcher`, when given, is a command that starts the program (with its arguments after its own).
inline ChildTestRun runTestsInChild(const QProcessEnvironment& environment, const QString& filter, int timeoutMs,
                                    QStringList launcher = {}) {
  QProcess child;
  QProcessEnvironment childEnvironment = environment;
  childEnvironment.insert(kChildRunVariable, QStringLiteral("1"));
  child.setProcessEnvironment(childEnvironment);
  child.setProcessChannelMode(QProcess::MergedChannels);
  launcher << QCoreApplication::applicationFilePath() << "--gtest_filter=" + filter;
  child.start(launcher.takeFirst(), launcher);
  ChildTestRun run;
  run.finished = child.waitForFinished(timeoutMs);
  if (!run.finished) child.kill(), child.waitForFinished();
  run.exitStatus = child.exitStatus();
  run.exitCode = child.exitCode();
  run.output = QString::fromLocal8Bit(child.readAll());
  return run;
}

}  // namespace testsupport
