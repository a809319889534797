#include <voxtrellis/ProgressStream.h>

namespace voxtrellis {

ProgressStream::Event ProgressStream::takeLocked() {
  Event e;
  if (!m_values.empty()) {
    e.kind = Event::Kind::value;
    e.value = m_values.front();
    m_values.pop_front();
  } else if (m_ended) {
    e.kind = m_error ? Event::Kind::failed : Event::Kind::finished;
    e.error = m_error;
  }
  return e;
}

std::optional<double> ProgressStream::next() {
  std::unique_lock lock(m_mutex);
  m_changed.wait(lock, [this] { return !m_values.empty() || m_ended; });
  Event e = takeLocked();
  if (e.kind == Event::Kind::failed) {
    std::rethrow_exception(e.error);
  }
  if (e.kind == Event::Kind::value) {
    return e.value;
  }
  return std::nullopt;
}

ProgressStream::Event ProgressStream::poll(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  m_changed.wait_for(lock, timeout, [this] { return !m_values.empty() || m_ended; });
  return takeLocked();
}

std::vector<double> ProgressStream::drain() {
  std::lock_guard lock(m_mutex);
  std::vector<double> out(m_values.begin(), m_values.end());
  m_values.clear();
  return out;
}

bool ProgressStream::isEnded() const {
  std::lock_guard lock(m_mutex);
  return m_ended;
}

void ProgressStream::cancel() {
  std::function<void()> handler;
  {
    std::lock_guard lock(m_mutex);
    if (m_ended) {
      return;
    }
    m_ended = true;
    handler = std::move(m_onTermination);
    m_onTermination = nullptr;
  }
  m_changed.notify_all();
  if (handler) {
    handler();
  }
}

void ProgressStream::yield(double value) {
  {
    std::lock_guard lock(m_mutex);
    if (m_ended) {
      return;  // a finished stream drops late values
    }
    m_values.push_back(value);
  }
  m_changed.notify_all();
}

void ProgressStream::finish() {
  fail(nullptr);  // an end without an error is a plain finish
}

void ProgressStream::fail(std::exception_ptr error) {
  {
    std::lock_guard lock(m_mutex);
    if (m_ended) {
      return;
    }
    m_ended = true;
    m_error = std::move(error);
    m_onTermination = nullptr;
  }
  m_changed.notify_all();
}

void ProgressStream::setTerminationHandler(std::function<void()> handler) {
  std::lock_guard lock(m_mutex);
  m_onTermination = std::move(handler);
}

}  // namespace voxtrellis
