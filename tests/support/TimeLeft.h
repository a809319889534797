#pragma once

// What is left of a test's time for the waits on its children. A test that runs several children
// one after the other, each given minutes, could wait in all for longer than ctest gives the test,
// and be ended by ctest with nothing said: its waits share the limit instead, less a margin for
// the rest of the test, so that a child that hangs is told by the test. The limits come from
// tests/CMakeLists.txt (PV_TEST_TIMEOUT_SECONDS and PV_LONG_TEST_TIMEOUT_SECONDS, given to the
// programs whose tests use this).

#include <algorithm>
#include <chrono>

namespace testsupport {

class TimeLeft {
 public:
  TimeLeft(int limitSeconds, int marginSeconds)
      : m_end(std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds - marginSeconds)) {}

  int milliseconds() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_end - std::chrono::steady_clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
  }
  // `boundMs`, or what is left when that is less.
  int atMost(int boundMs) const { return std::min(boundMs, milliseconds()); }

 private:
  std::chrono::steady_clock::time_point m_end;
};

}  // namespace testsupport
