#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

namespace testsupport {

// How long the UI thread goes without serving its event loop: a 10 ms timer on the thread that
// creates it notes the longest gap between two of its ticks, so a stall of that thread shows as
// a gap as long as the stall. Header-only, so benchmarks can use it too.
class UiHeartbeat : public QObject {
 public:
  explicit UiHeartbeat(int intervalMs = 10) {
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { beat(); });
    m_timer.start(intervalMs);
    m_sinceTick.start();
  }

  // Measures afresh from now.
  void restart() {
    m_longestMs = 0;
    m_sinceTick.restart();
  }
  // The longest gap since the start in milliseconds, the one still open counted too.
  double longestGapMs() const { return std::max(m_longestMs, elapsedMs()); }

 private:
  double elapsedMs() const { return double(m_sinceTick.nsecsElapsed()) / 1e6; }
  void beat() {
    m_longestMs = std::max(m_longestMs, elapsedMs());
    m_sinceTick.restart();
  }

  QTimer m_timer;
  QElapsedTimer m_sinceTick;
  double m_longestMs = 0;
};

}  // namespace testsupport
