#pragma once

#include <voxtrellis/ProgressStream.h>

#include <exception>
#include <memory>
#include <mutex>

namespace voxtrellis {

// Publishes the progress of long transcriptions, one session (stream) at a
// time. A session starts with 0.0 and a finished one ends with 1.0; once a
// stream ends, the next session is opened at once so that a listener can
// always get a live stream.
//
// Thread safety: all operations are serialised by an internal lock.
class ProgressEmitter : public std::enable_shared_from_this<ProgressEmitter> {
 public:
  static std::shared_ptr<ProgressEmitter> create();
  // Ends the current stream, so no listener waits for a recogniser that is gone.
  ~ProgressEmitter();

  // The current stream, opening a session first when there is none.
  std::shared_ptr<ProgressStream> ensureSession();
  std::shared_ptr<ProgressStream> currentStream() { return ensureSession(); }
  // Yields `progress` limited to 0...1, only while a session is active.
  void report(double progress);
  // Active: yields 1.0 and ends the stream. Idle without a stream: opens a session.
  void finishSession();
  // Ends the current stream with `error`.
  void failSession(std::exception_ptr error);

  bool isActive() const;

 private:
  ProgressEmitter() = default;
  std::shared_ptr<ProgressStream> startSessionLocked();
  void resetAndPrepareNextSessionLocked();
  void onListenerGone(const ProgressStream* stream);

  mutable std::mutex m_mutex;
  std::shared_ptr<ProgressStream> m_stream;
  bool m_isActive = false;
};

}  // namespace voxtrellis
