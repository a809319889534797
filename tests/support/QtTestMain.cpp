// main() of the app and UI test binaries: a QApplication on the offscreen
// platform, then every GoogleTest test on the UI thread.
#include "App/Application.h"
#include "Views/Common/FocusRing.h"
#include "support/ChildTestRun.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include <execinfo.h>
#include <unistd.h>

namespace {

// A test that crashes says where: the failing thread's stack goes to standard error before the
// signal takes its usual course, so a crash seen once in a parallel run can be read afterwards.
void printStackAndDie(int signal) {
  void* frames[64];
  const int count = ::backtrace(frames, 64);
  static const char heading[] = "\n*** crashed; stack of the failing thread:\n";
  [[maybe_unused]] const auto written = ::write(STDERR_FILENO, heading, sizeof heading - 1);
  ::backtrace_symbols_fd(frames, count, STDERR_FILENO);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// On the main thread, where the tests run, the handler has a stack of its own: a stack that
// overflowed leaves it no room, and the process would die without a word.
void printStacksOnCrash() {
  static char alternate[128 * 1024];
  stack_t stack{};
  stack.ss_sp = alternate;
  stack.ss_size = sizeof alternate;
  ::sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = printStackAndDie;
  action.sa_flags = SA_ONSTACK;
  for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::sigaction(signal, &action, nullptr);
  // The first backtrace loads the unwinder, which allocates: done now, not in a crash that may
  // have come from a broken heap.
  void* frame[1];
  ::backtrace(frame, 1);
}

}  // namespace

int main(int argc, char** argv) {
  printStacksOnCrash();
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // As the application starts: as root, that turns the web engine's sandbox off. A normal
  // user's run may be in a container without the user namespaces the sandbox needs.
  parlowvista::Application::prepareProcess();
  if (::geteuid() != 0) ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
  ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --disable-background-networking --disable-component-update", 0);
  // Settings and data folders of tests never touch the user's own: a test that sets no
  // settings folder of its own gets one that goes away with the process.
  QStandardPaths::setTestModeEnabled(true);
  int status = 0;
  {
    const QTemporaryDir settingsFolder;
    for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat}) {
      QSettings::setPath(format, QSettings::UserScope, settingsFolder.path());
    }
    // What the tests make in the temporary folder goes into a folder of the run's own, which is
    // empty again once every test has ended: a run leaves nothing behind in the user's.
    const testsupport::RunTemporaryFolder runFolder;
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Parlowvista");
    QApplication::setApplicationName("ParlowvistaTests");
    parlowvista::FocusRing::install();  // as the application does
    ::testing::InitGoogleMock(&argc, argv);
    // Suites named *ChildProcess run only in a child that a test of this program starts (with
    // the variable below set): run with the rest, they would act on a parent's behalf, such as
    // ending a sound server the parent has not made.
    if (qEnvironmentVariableIsEmpty(testsupport::kChildRunVariable)) {
      std::string filter = GTEST_FLAG_GET(filter);
      filter += filter.find('-') == std::string::npos ? "-*ChildProcess.*" : ":*ChildProcess.*";
      GTEST_FLAG_SET(filter, filter);
    }
    ::testing::AddGlobalTestEnvironment(runFolder.leftEmptyCheck());
    status = RUN_ALL_TESTS();
  }
  // As the application ends: everything is let go with the Qt application object above.
  parlowvista::Application::endProcess(status);
}
