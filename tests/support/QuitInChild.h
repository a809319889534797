#pragma once

// Quitting the real application in a child process of the test program, the two ways a user's
// copy ends: Ctrl+Q's action, which the child triggers itself, or SIGTERM from outside (a
// logout, a shutdown), which the parent sends. The child says on standard output when the
// moment to quit has come; the parent measures from then to the end of the process.

#include "App/Application.h"
#include "Views/Shell/MainWindow.h"
#include "support/ChildTestRun.h"
#include "support/QtWait.h"

#include <QAction>
#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

namespace testsupport {

// What the parent saw of a child it quit.
struct QuitChild {
  QByteArray output;           // standard output and error, merged
  bool reachedMoment = false;  // the child said the moment had come
  bool ended = false;          // and it ended within the time given then (else it was killed)
  double secondsToEnd = -1;    // from the moment (and the signal) to the end of the process
  QProcess::ExitStatus exitStatus = QProcess::CrashExit;
  int exitCode = -1;
};

// Runs this test program's `filter` in a child with `environment` (plus the child-run
// variable); once `moment` is in its output (within `momentTimeoutMs`), sends it `signal` when
// `bySignal` (otherwise the child quits by itself), and waits up to `endTimeoutMs` for it to end.
inline QuitChild quitChildAtMoment(QProcessEnvironment environment, const QString& filter, const char* moment,
                                   bool bySignal, int momentTimeoutMs, int endTimeoutMs, int signal = SIGTERM) {
  environment.insert(kChildRunVariable, QStringLiteral("1"));
  QProcess program;
  program.setProcessEnvironment(environment);
  program.setProcessChannelMode(QProcess::MergedChannels);
  program.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=" + filter});
  QuitChild run;
  run.reachedMoment = waitUntil(
                          [&] {
                            program.waitForReadyRead(100);
                            run.output += program.readAll();
                            return run.output.contains(moment) || program.state() == QProcess::NotRunning;
                          },
                          momentTimeoutMs) &&
                      run.output.contains(moment);
  if (!run.reachedMoment) {
    program.kill();
    program.waitForFinished();
    run.output += program.readAll();
    return run;
  }
  QElapsedTimer clock;
  clock.start();
  if (bySignal) ::kill(static_cast<pid_t>(program.processId()), signal);
  run.ended = program.waitForFinished(endTimeoutMs);
  run.secondsToEnd = static_cast<double>(clock.elapsed()) / 1000.0;
  if (!run.ended) program.kill(), program.waitForFinished();
  run.output += program.readAll();
  run.exitStatus = program.exitStatus();
  run.exitCode = program.exitCode();
  return run;
}

// In the child: Ctrl+Q's action of the application's main window; once the window has gone,
// the application goes as the program's does after its event loop.
inline void quitByTheQuitAction(std::unique_ptr<parlowvista::Application>& application) {
  QAction* quit = nullptr;
  for (QAction* action : application->mainWindow()->findChildren<QAction*>()) {
    if (action->text() == "Quit") quit = action;
  }
  ASSERT_NE(quit, nullptr);
  quit->trigger();
  ASSERT_TRUE(waitUntil([&] { return !application->mainWindow()->isVisible(); }));
  application.reset();
}

}  // namespace testsupport
