#pragma once

// What the tests of the whole Application share: a fixture over a folder of the test's own, and
// starting a copy of this program running some of its own tests.

#include "App/Application.h"
#include "App/LeftoverSweep.h"
#include "Models/AppSettings.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/ChildTestRun.h"
#include "support/QtWait.h"
#include "support/ScopedSettingsFolder.h"
#include "support/TempDir.h"
#include "support/TimeLeft.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSettings>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace apptest {

// Starts this program's tests of `filter` in `child` (after `launcher`, when given) and waits
// until it writes `line`: true once it has. What it wrote is added to `output`.
inline bool startChildUntil(QProcess& child, QProcessEnvironment environment, const QString& filter,
                            const QByteArray& line, QByteArray& output, int timeoutMs, QStringList launcher = {}) {
  environment.insert(testsupport::kChildRunVariable, "1");
  child.setProcessEnvironment(environment);
  child.setProcessChannelMode(QProcess::MergedChannels);
  launcher << QCoreApplication::applicationFilePath() << "--gtest_filter=" + filter;
  child.start(launcher.takeFirst(), launcher);
  testsupport::waitUntil(
      [&] {
        child.waitForReadyRead(100);
        output += child.readAll();
        return output.contains(line) || child.state() == QProcess::NotRunning;
      },
      timeoutMs);
  return output.contains(line);
}

// Shows the application's window, past onboarding, as a start does, and waits for the sweep of
// the temporary folder that begins then to end.
inline void showAndSweep(parlowvista::Application& application) {
  application.appSettings().setHasCompletedOnboarding(true);
  application.showMainWindow();
  ASSERT_NE(application.leftoverSweep(), nullptr);
  ASSERT_TRUE(testsupport::waitUntil([&] { return application.leftoverSweep()->isFinished(); }, 120000));
}

class ApplicationTest : public testsupport::TempDirTest {
 protected:
  // Every wait of the test shares the time ctest gives it, less a margin for the rest: each start's
  // sweep and each child is given minutes, and a test of several could otherwise wait in all for
  // longer than its limit and be ended by ctest with nothing said. (A child's own wait takes
  // timeLeft.atMost() itself.)
  const testsupport::TimeLeft timeLeft{PV_TEST_TIMEOUT_SECONDS, 30};
  const testsupport::WaitsWithin waitsWithin{timeLeft};

  // Settings of the test's own, in its folder, until it ends.
  testsupport::ScopedSettingsFolder settingsFolder{folder("config")};

  void SetUp() override { QSettings().clear(); }

  QString folder(const std::string& name) const { return QString::fromStdString((tempDir / name).string()); }
  parlowvista::Application::Environment environment() const {
    return {folder("share"), QStringLiteral("com.lanternhollow.tests.%1").arg(QCoreApplication::applicationPid()),
            nullptr};
  }
  // With a speech engine that answers at once: the window may be shown.
  parlowvista::Application::Environment withAnsweringEngine() const {
    parlowvista::Application::Environment local = environment();
    local.engine = std::make_shared<pipelinetest::FakeEngine>();
    return local;
  }
};

}  // namespace apptest
