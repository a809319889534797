#pragma once

// The main() of a benchmark that needs a Qt application object: the store posts its change
// notices to the application's event loop, and widgets need a GUI application (the offscreen
// platform unless the caller chose one).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>

#include <type_traits>

namespace bench {

template <class Application>
int runWithQtApplication(int argc, char** argv) {
  if constexpr (std::is_base_of_v<QApplication, Application>) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  Application app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
