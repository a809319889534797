#pragma once

#include <QtTest/QTest>

#include <functional>

namespace testsupport {

// Runs the event loop until `predicate` holds or `timeoutMs` passes; returns
// whether it held. Use with EXPECT_TRUE/ASSERT_TRUE in GoogleTest bodies.
inline bool waitUntil(const std::function<bool()>& predicate, int timeoutMs = 5000) {
  return QTest::qWaitFor(predicate, timeoutMs);
}

}  // namespace testsupport
