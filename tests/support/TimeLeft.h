#pragma once

// What is left of a test's time for its waits, on its children and others. A test that runs several children
// one after the other, each given minutes, could wait in all for longer than ctest gives the test,
// and be ended by ctest with nothing said: its waits share the limit instead, less a margin for
// the rest of the test, so that a child that hangs is told by the test. The limits come from
// tests/CMakeLists.txt (PV_TEST_TIMEOUT_SECONDS and PV_LONG_TEST_TIMEOUT_SECONDS, given to the
// programs whose tests use this).

#include <algorithm>
#include <chrono>
#include <utility>

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

namespace detail {
inline const TimeLeft* sharedLimit = nullptr;
}

// While one lives, the waits of the tests' support (waitUntil() and what waits through it, such as
// Harness::settle(); pipelinetest::ffmpeg(); the window audit's wait for a window to be active)
// also share `limit`: each waits for its own bound or what is left of the limit, whichever is
// less. A fixture whose helpers wait minutes each holds one, so that its tests need no sum of
// their waits kept under their limit, and a hang is told by the wait that hung. (A wait is only
// ever shortened, and only near the limit, where ctest would end the test anyway.)
class WaitsWithin {
 public:
  explicit WaitsWithin(const TimeLeft& limit) : m_outer(std::exchange(detail::sharedLimit, &limit)) {}
  ~WaitsWithin() { detail::sharedLimit = m_outer; }
  WaitsWithin(const WaitsWithin&) = delete;
  WaitsWithin& operator=(const WaitsWithin&) = delete;

 private:
  const TimeLeft* m_outer;
};

// `boundMs`, or what is left of the limit a WaitsWithin shares when that is less.
inline int waitBound(int boundMs) {
  return detail::sharedLimit ? detail::sharedLimit->atMost(boundMs) : boundMs;
}

}  // namespace testsupport
