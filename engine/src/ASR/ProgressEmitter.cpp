#include "ASR/ProgressEmitter.h"

#include <algorithm>

namespace voxtrellis {

std::shared_ptr<ProgressEmitter> ProgressEmitter::create() {
  return std::shared_ptr<ProgressEmitter>(new ProgressEmitter());
}

ProgressEmitter::~ProgressEmitter() {
  if (m_stream) {
    m_stream->finish();
  }
}

std::shared_ptr<ProgressStream> ProgressEmitter::startSessionLocked() {
  if (m_stream) {
    return m_stream;
  }
  m_stream = std::make_shared<ProgressStream>();
  m_isActive = true;
  // The handler holds the emitter weakly: a listener that outlives the
  // recogniser must not keep it alive or call into a destroyed object.
  std::weak_ptr<ProgressEmitter> weak = weak_from_this();
  const ProgressStream* raw = m_stream.get();
  m_stream->setTerminationHandler([weak, raw] {
    if (auto self = weak.lock()) {
      self->onListenerGone(raw);
    }
  });
  m_stream->yield(0.0);
  return m_stream;
}

void ProgressEmitter::resetAndPrepareNextSessionLocked() {
  m_stream.reset();
  m_isActive = false;
  startSessionLocked();
}

void ProgressEmitter::onListenerGone(const ProgressStream* stream) {
  std::lock_guard lock(m_mutex);
  if (m_stream.get() == stream) {
    resetAndPrepareNextSessionLocked();
  }
}

std::shared_ptr<ProgressStream> ProgressEmitter::ensureSession() {
  std::lock_guard lock(m_mutex);
  return startSessionLocked();
}

void ProgressEmitter::report(double progress) {
  std::lock_guard lock(m_mutex);
  if (!m_isActive || !m_stream) {
    return;
  }
  m_stream->yield(std::clamp(progress, 0.0, 1.0));
}

void ProgressEmitter::finishSession() {
  std::lock_guard lock(m_mutex);
  if (m_isActive) {
    if (m_stream) {
      m_stream->yield(1.0);
      m_stream->finish();
    }
    resetAndPrepareNextSessionLocked();
  } else if (!m_stream) {
    startSessionLocked();
  }
}

void ProgressEmitter::failSession(std::exception_ptr error) {
  std::lock_guard lock(m_mutex);
  if (!m_stream) {
    return;
  }
  m_stream->fail(std::move(error));
  resetAndPrepareNextSessionLocked();
}

bool ProgressEmitter::isActive() const {
  std::lock_guard lock(m_mutex);
  return m_isActive;
}

}  // namespace voxtrellis
