#include "Shared/RawDamageMeasure.h"

#include <voxtrellis/FrameTimeline.h>

extern "C" {
#include <libavcodec/packet.h>
}

#include <algorithm>
#include <cstring>

namespace voxtrellis {

RawDamageMeasure::Span RawDamageMeasure::spanOf(const AVPacket& packet) const {
  const FrameTimeline::RawFrame frame = FrameTimeline::rawFrame(m_format, packet);
  return {packet.pos, packet.size, frame.rate > 0 ? double(frame.samples) / frame.rate : 0.0};
}

void RawDamageMeasure::taken(const AVPacket& packet) {
  if (m_start < 0) m_start = packet.pos;
  m_last = spanOf(packet);
  std::memcpy(m_lastHead.data(), packet.data, std::size_t(std::min<int>(packet.size, RawPacketPlace::kKnownBytes)));
  if (m_damaged || m_last.position < 0) return;
  m_end = m_last.position + m_last.bytes;
  if (m_last.seconds > 0) m_recent[m_recentCount++ % kRecentPackets] = m_last;
}

void RawDamageMeasure::refused(const AVPacket& packet) {
  if (m_start < 0) m_start = packet.pos;
  const Span span = spanOf(packet);
  if (span.seconds <= 0) return;  // no header: its bytes are counted as no packet
  m_refusedSeconds += span.seconds;
  m_refusedBytes += span.bytes;
}

void RawDamageMeasure::damaged() {
  m_damaged = true;
}

RawDamageMeasure::Loss RawDamageMeasure::settle() {
  Loss loss{m_refusedSeconds, false};
  // Where the sound before ended and where the packet after the damage lies, as found in the file.
  const int64_t from = (m_end >= 0 ? m_end : m_start) + m_place.leftOut();
  const int64_t last = m_place.of(m_last.position, m_lastHead.data(), int(m_last.bytes));
  const int64_t unread = from >= 0 && last >= 0 ? last - from - m_refusedBytes : 0;
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
  if (m_last.position >= 0) m_end = m_last.position + m_last.bytes;
  if (m_last.seconds > 0) m_recent[m_recentCount++ % kRecentPackets] = m_last;
  return loss;
}

}  // namespace voxtrellis
