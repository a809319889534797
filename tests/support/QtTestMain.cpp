// main() of the app and UI test binaries: a QApplication on the offscreen
// platform, then every GoogleTest test on the UI thread.
#include "App/Application.h"

#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include <unistd.h>

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // As the application starts: as root, that turns the web engine's sandbox off. A normal
  // user's run may be in a container without the user namespaces the sandbox needs.
  parlowvista::Application::prepareProcess();
  if (::geteuid() != 0) ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
  ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --disable-background-networking --disable-component-update", 0);
  // Settings and data folders of tests never touch the user's own: a test that sets no
  // settings folder of its own gets one that goes away with the process, and GStreamer keeps
  // its plug-in registry in the build folder rather than in the user's cache.
  QStandardPaths::setTestModeEnabled(true);
  ::setenv("GST_REGISTRY", PV_BUILD_DIR "/gstreamer-registry.bin", 0);
  const QTemporaryDir settingsFolder;
  for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat}) {
    QSettings::setPath(format, QSettings::UserScope, settingsFolder.path());
  }
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Parlowvista");
  QApplication::setApplicationName("ParlowvistaTests");
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
