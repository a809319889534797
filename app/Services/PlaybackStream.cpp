#include "Services/PlaybackStream.h"

#include <QMetaObject>

#include <algorithm>

namespace parlowvista {

namespace {
constexpr qint64 kBufferedMicroseconds = 500000;
}

PlaybackStream::PlaybackStream(const QString& path, const QAudioFormat& format,
                               std::shared_ptr<const voxtrellis::SoundPlaces> places)
    : m_decoder(std::make_unique<PlaybackDecoder>(path, format, std::move(places))),
      m_format(format),
      m_capacity(format.bytesForDuration(kBufferedMicroseconds)) {
  open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

PlaybackStream::~PlaybackStream() = default;

const QAudioFormat& PlaybackStream::format() const {
  return m_format;
}

void PlaybackStream::seek(double seconds) {
  {
    const std::lock_guard lock(m_lock);
    m_buffer.clear();
    m_readOffset = 0;
    m_seekBase = std::max(0.0, seconds);
    m_delivered = 0;
    m_decoderDone = false;
    m_failure.clear();
  }
  try {
    m_decoder->seek(seconds);
  } catch (const PlaybackError& error) {
    const std::lock_guard lock(m_lock);
    m_decoderDone = true;
    m_failure = error.text();
    throw;
  }
}

void PlaybackStream::fill() {
  qsizetype wanted = 0;
  {
    const std::lock_guard lock(m_lock);
    m_fillAsked = false;
    if (m_decoderDone) return;
    wanted = m_capacity - (m_buffer.size() - m_readOffset);
  }
  if (wanted <= 0) return;
  QByteArray decoded;
  bool more = true;
  QString failure;
  try {
    more = m_decoder->decode(decoded, wanted);
    if (!more) failure = m_decoder->stopReason();
  } catch (const std::exception& error) {
    more = false;
    failure = QString::fromUtf8(error.what());
  }
  {
    const std::lock_guard lock(m_lock);
    if (m_readOffset > 0) {
      m_buffer.remove(0, m_readOffset);
      m_readOffset = 0;
    }
    m_buffer.append(decoded);
    m_decoderDone = !more;
    // What was decoded before the error still plays; the error is told once it has.
    if (!failure.isEmpty()) m_failure = failure;
  }
  emit readyRead();
}

double PlaybackStream::position() const {
  const std::lock_guard lock(m_lock);
  return m_seekBase + double(m_delivered / m_format.bytesPerFrame()) / m_format.sampleRate();
}

bool PlaybackStream::isExhausted() const {
  const std::lock_guard lock(m_lock);
  return m_decoderDone && m_readOffset >= m_buffer.size();
}

QString PlaybackStream::failure() const {
  const std::lock_guard lock(m_lock);
  return m_failure;
}

qint64 PlaybackStream::bytesAvailable() const {
  const std::lock_guard lock(m_lock);
  return m_buffer.size() - m_readOffset;
}

qint64 PlaybackStream::readData(char* data, qint64 maxSize) {
  qint64 count = 0;
  bool askForMore = false;
  {
    const std::lock_guard lock(m_lock);
    count = std::min<qint64>(maxSize, m_buffer.size() - m_readOffset);
    std::copy_n(m_buffer.constData() + m_readOffset, count, data);
    m_readOffset += count;
    m_delivered += count;
    askForMore = !m_decoderDone && !m_fillAsked && m_buffer.size() - m_readOffset < m_capacity / 2;
    if (askForMore) m_fillAsked = true;
  }
  if (askForMore) {
    QMetaObject::invokeMethod(
        this, [this] { fill(); }, Qt::QueuedConnection);
  }
  return count;
}

}  // namespace parlowvista
