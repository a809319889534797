#pragma once

#include "support/TimeLeft.h"

#include <QtTest/QTest>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace testsupport {

// Runs the event loop until `predicate` holds or `timeoutMs` passes; returns
// whether it held. Unlike QTest::qWaitFor it never sleeps between polls, so
// work driven by other threads (web pages, child processes) goes at full speed. Once the
// predicate has held, that is the answer: it is not asked again (a question to a web page may
// find it slow to answer the second time). Under a WaitsWithin, it waits no longer than what is
// left of the test's limit.
inline bool waitUntil(const std::function<bool()>& predicate, int timeoutMs = 5000) {
  if (predicate()) return true;
  timeoutMs = waitBound(timeoutMs);
  QEventLoop loop;
  QTimer poll;
  QElapsedTimer clock;
  clock.start();
  bool held = false;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    held = predicate();
    if (held || clock.elapsed() > timeoutMs) loop.quit();
  });
  poll.start(5);
  loop.exec();
  return held || predicate();
}

}  // namespace testsupport
