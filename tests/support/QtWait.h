#pragma once

#include <QtTest/QTest>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace testsupport {

// Runs the event loop until `predicate` holds or `timeoutMs` passes; returns
// whether it held. Unlike QTest::qWaitFor it never sleeps between polls, so
// work driven by other threads (web pages, child processes) goes at full speed.
inline bool waitUntil(const std::function<bool()>& predicate, int timeoutMs = 5000) {
  if (predicate()) return true;
  QEventLoop loop;
  QTimer poll;
  QElapsedTimer clock;
  clock.start();
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (predicate() || clock.elapsed() > timeoutMs) loop.quit();
  });
  poll.start(5);
  loop.exec();
  return predicate();
}

}  // namespace testsupport
