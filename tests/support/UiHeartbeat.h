#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <fstream>

#include <time.h>

namespace testsupport {

// How long the UI thread goes without serving its event loop: a 10 ms timer on the thread that
// creates it notes the longest gap between two of its ticks, so a stall of that thread shows as
// a gap as long as the stall. Header-only, so benchmarks can use it too.
//
// Three readings: the wall-clock gap (what a user sees, on whatever machine); the gap less the
// time the thread stood ready but waited for a processor (Linux's per-thread scheduler figures),
// which is what the thread spent working or blocked; and the processor time the thread itself
// spent within the gap, which neither a loaded machine nor a slow disk makes grow. Benchmarks
// report the first two against their targets; tests assert on the third, with a margin, to tell
// work done on the UI thread from work done beside it.
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
    m_longestOwnMs = 0;
    m_longestBusyMs = 0;
    m_sinceTick.restart();
    m_waitAtTickNs = runQueueWaitNs();
    m_busyAtTickNs = threadCpuNs();
  }
  // The longest wall-clock gap since the start in milliseconds, the one still open counted too.
  double longestGapMs() const { return std::max(m_longestMs, elapsedMs()); }
  // The longest gap less the time the thread waited for a processor in it. Call it on the
  // thread that made the heartbeat.
  double longestOwnGapMs() const { return std::max(m_longestOwnMs, ownMs()); }
  // The most processor time the thread spent within one gap. Call it on the thread that made
  // the heartbeat.
  double longestBusyGapMs() const { return std::max(m_longestBusyMs, busyMs()); }

 private:
  // Nanoseconds this thread has spent runnable but not running (the second field of
  // /proc/thread-self/schedstat); 0 where the kernel keeps no such figures.
  static std::int64_t runQueueWaitNs() {
    std::ifstream stat("/proc/thread-self/schedstat");
    std::int64_t running = 0;
    std::int64_t waiting = 0;
    if (!(stat >> running >> waiting)) return 0;
    return waiting;
  }
  // Processor time this thread has used so far.
  static std::int64_t threadCpuNs() {
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0;
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
  }
  double busyMs() const { return double(threadCpuNs() - m_busyAtTickNs) / 1e6; }
  double elapsedMs() const { return double(m_sinceTick.nsecsElapsed()) / 1e6; }
  double ownMs() const { return elapsedMs() - double(runQueueWaitNs() - m_waitAtTickNs) / 1e6; }
  void beat() {
    m_longestMs = std::max(m_longestMs, elapsedMs());
    m_longestOwnMs = std::max(m_longestOwnMs, ownMs());
    m_longestBusyMs = std::max(m_longestBusyMs, busyMs());
    m_sinceTick.restart();
    m_waitAtTickNs = runQueueWaitNs();
    m_busyAtTickNs = threadCpuNs();
  }

  QTimer m_timer;
  QElapsedTimer m_sinceTick;
  std::int64_t m_waitAtTickNs = 0;
  std::int64_t m_busyAtTickNs = 0;
  double m_longestMs = 0;
  double m_longestOwnMs = 0;
  double m_longestBusyMs = 0;
};

}  // namespace testsupport
