#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace testsupport {

// How long the UI thread goes without serving its event loop: a 10 ms timer on the thread that
// creates it notes the longest gap between two of its ticks, so a stall of that thread shows as
// a gap as long as the stall. Header-only, so benchmarks can use it too.
//
// `longestGapMs()` is the wall-clock gap, what a user at that machine sees. `longestStallMs()`
// leaves out the time the thread was ready to run but waiting for a processor (the kernel's
// run delay of the thread): what the program itself holds up, the same on a busy machine as on
// an idle one. Work and blocking waits on the thread count in both. Ask either on the thread
// that made the heartbeat.
class UiHeartbeat : public QObject {
 public:
  explicit UiHeartbeat(int intervalMs = 10) {
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { beat(); });
    m_timer.start(intervalMs);
    restart();
  }

  // Measures afresh from now.
  void restart() {
    m_longestMs = 0;
    m_longestStallMs = 0;
    m_sinceTick.restart();
    m_runDelayAtTick = runDelayMs();
  }
  // The longest gap since the start in milliseconds, the one still open counted too.
  double longestGapMs() const { return std::max(m_longestMs, elapsedMs()); }
  // The same without the time spent waiting for a processor.
  double longestStallMs() const { return std::max(m_longestStallMs, openStallMs()); }

 private:
  double elapsedMs() const { return double(m_sinceTick.nsecsElapsed()) / 1e6; }
  double openStallMs() const { return std::max(0.0, elapsedMs() - (runDelayMs() - m_runDelayAtTick)); }
  void beat() {
    m_longestMs = std::max(m_longestMs, elapsedMs());
    m_longestStallMs = std::max(m_longestStallMs, openStallMs());
    m_sinceTick.restart();
    m_runDelayAtTick = runDelayMs();
  }
  // The calling thread's total time spent runnable but not running, in milliseconds (0 where
  // the kernel does not say).
  static double runDelayMs() {
    unsigned long long onCpu = 0;
    unsigned long long waiting = 0;
    FILE* stat = std::fopen("/proc/thread-self/schedstat", "r");
    if (!stat) return 0;
    const bool read = std::fscanf(stat, "%llu %llu", &onCpu, &waiting) == 2;
    std::fclose(stat);
    return read ? double(waiting) / 1e6 : 0;
  }

  QTimer m_timer;
  QElapsedTimer m_sinceTick;
  double m_runDelayAtTick = 0;
  double m_longestMs = 0;
  double m_longestStallMs = 0;
};

}  // namespace testsupport
