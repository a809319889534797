#include "Shared/RawDamageMeasure.h"

#include <voxtrellis/FrameTimeline.h>

extern "C" {
#include <libavcodec/packet.h>
}

#include <algorithm>

namespace voxtrellis {

RawDamageMeasure::Span RawDamageMeasure::place(const AVPacket& packet) {
  const FrameTimeline::RawFrame frame = FrameTimeline::rawFrame(m_format, packet);
  const Span span{m_place.of(packet.pos, packet.data, packet.size), packet.size,
                  frame.rate > 0 ? double(frame.samples) / frame.rate : 0.0, frame.cutBytes};
  if (span.position < 0) return span;
  if (m_start < 0) m_start = span.position;
  if (m_end >= 0 && span.position > m_end) m_damaged = true;
  m_end = span.position + span.bytes;
  return span;
}

int64_t RawDamageMeasure::taken(const AVPacket& packet) {
  m_last = place(packet);
  if (!m_damaged && m_last.position >= 0) {
    m_soundEnd = m_last.position + m_last.bytes - m_last.cutBytes;
    if (m_last.seconds > 0) m_recent[m_recentCount++ % kRecentPackets] = m_last;
  }
  return m_last.position;
}

void RawDamageMeasure::refused(const AVPacket& packet) {
  const Span span = place(packet);
  if (span.seconds <= 0) return;  // no header: its bytes are counted as no packet
  m_refusedSeconds += span.seconds;
  m_refusedBytes += span.bytes;
}

void RawDamageMeasure::lost(double seconds) {
  m_damaged = true;
  m_refusedSeconds += seconds;
}

void RawDamageMeasure::damaged() {
  m_damaged = true;
}

RawDamageMeasure::Loss RawDamageMeasure::settle() {
  Loss loss{m_refusedSeconds, false};
  // The bytes between the sound before the damage and the packet after it, less those of the
  // packets refused meanwhile: packets that gave no sound, and bytes that were none.
  const int64_t from = m_soundEnd >= 0 ? m_soundEnd : m_start;
  const int64_t unread = from >= 0 && m_last.position >= 0 ? m_last.position - from - m_refusedBytes : 0;
  if (unread > 0) {
    int64_t bytes = 0;
    double seconds = 0;
    for (std::size_t i = 0; i < std::min(m_recentCount, kRecentPackets); ++i) {
      bytes += m_recent[i].bytes;
      seconds += m_recent[i].seconds;
    }
    // Before any sound, the first packet after the damage tells the rate.
    if (seconds <= 0) {
      bytes = m_last.bytes;
      seconds = m_last.seconds;
    }
    if (bytes > 0 && seconds > 0) {
      loss.seconds += double(unread) * seconds / double(bytes);
      loss.estimated = true;
    }
  }
  m_damaged = false;
  m_refusedSeconds = 0;
  m_refusedBytes = 0;
  if (m_last.position >= 0) m_soundEnd = m_last.position + m_last.bytes - m_last.cutBytes;
  if (m_last.seconds > 0) m_recent[m_recentCount++ % kRecentPackets] = m_last;
  return loss;
}

}  // namespace voxtrellis
