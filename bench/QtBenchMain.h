#pragma once

// The main() of a benchmark that needs a Qt application object: the store posts its change
// notices to the application's event loop, and widgets need a GUI application (the offscreen
// platform unless the caller chose one). The process is prepared as the application prepares
// its own, so a benchmark that opens a player page runs as root too.
#include "App/Application.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>

#include <type_traits>

namespace bench {

template <class QtApplication>
int runWithQtApplication(int argc, char** argv) {
  if constexpr (std::is_base_of_v<QApplication, QtApplication>) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  parlowvista::Application::prepareProcess();
  QtApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
