#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace voxtrellis {

// A stream of progress fractions (0...1) of one long transcription. The
// recogniser produces into it from its worker thread; any thread may drain it.
// Values are buffered without limit, so nothing produced before a listener
// arrives is lost. The stream ends normally or with the transcription's error.
//
// Thread safety: every member may be called from any thread.
class ProgressStream {
 public:
  struct Event {
    enum class Kind { value, finished, failed, timedOut };
    Kind kind = Kind::timedOut;
    double value = 0;
    std::exception_ptr error;  // set for failed
  };

  ProgressStream() = default;
  ProgressStream(const ProgressStream&) = delete;
  ProgressStream& operator=(const ProgressStream&) = delete;

  // Blocks until the next value; none once the stream has finished. Rethrows
  // the error of a failed stream after all buffered values were read.
  std::optional<double> next();
  // Waits at most `timeout` for the next event.
  Event poll(std::chrono::milliseconds timeout);
  // Takes every buffered value without waiting.
  std::vector<double> drain();

  bool isEnded() const;

  // The listener stops listening: the stream ends and the producer prepares
  // the next stream.
  void cancel();

  // Producer side.
  void yield(double value);
  void finish();
  void fail(std::exception_ptr error);
  // Called once, outside any lock, when the listener cancels.
  void setTerminationHandler(std::function<void()> handler);

 private:
  Event takeLocked();

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<double> m_values;
  bool m_ended = false;
  std::exception_ptr m_error;
  std::function<void()> m_onTermination;
};

}  // namespace voxtrellis
