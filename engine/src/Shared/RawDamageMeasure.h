#pragma once

#include <voxtrellis/RawPacketPlace.h>

#include <array>
#include <cstdint>

struct AVInputFormat;
struct AVPacket;

namespace voxtrellis {

// What damage in a raw MP3 or ADTS AAC stream cost, in seconds of its sound. Such a stream says
// where its frames lie only by counting them, so that nothing stands for what damage took: a
// packet the decoder refused lasted what its header states, and the bytes between the packets
// that were none (overwritten headers, a parser finding its way again, bytes the ADTS reader
// steps over without a word) lasted what so many bytes of the stream lasted just before the
// damage, an estimate. Told the packets in the order read; where each lies is found in the file
// (see RawPacketPlace: the position FFmpeg states lies short past bytes its reader dropped).
class RawDamageMeasure {
 public:
  RawDamageMeasure(const AVInputFormat& format, RawPacketPlace::ReadAt read)
      : m_format(format), m_place(std::move(read)) {}

  // A packet of the stream the decoder took: where it lies in the file. Bytes that were no
  // packet before it (read past without a word, as the ADTS reader does) are damage, as if
  // damaged() had been told before it.
  int64_t taken(const AVPacket& packet);
  // A packet of the stream the decoder refused.
  void refused(const AVPacket& packet);
  // The sound of a packet taken, `seconds` long, was lost (it decoded to none).
  void lost(double seconds);
  // Damage was met: a refused packet, bytes that were no packet, a decoding error.
  void damaged();
  // Damage was met since the last settle().
  bool isDamaged() const { return m_damaged; }

  struct Loss {
    double seconds = 0;
    bool estimated = false;  // bytes that were no packet count in it
  };
  // The first frame after the damage came out of the packet taken last: what lay between it and
  // the sound before the damage (from the stream's first packet, for damage before any sound).
  Loss settle();

 private:
  struct Span {
    int64_t position = -1;  // in the file, as found there
    int64_t bytes = 0;
    double seconds = 0;
    int64_t cutBytes = 0;  // at its end, of a frame it does not hold whole (see FrameTimeline::RawFrame)
  };
  // The packet in the file, its position found there; bytes that were no packet before it are
  // damage.
  Span place(const AVPacket& packet);

  const AVInputFormat& m_format;
  RawPacketPlace m_place;
  int64_t m_start = -1;     // where the stream's first packet lies
  int64_t m_end = -1;       // where the packet told last ends
  int64_t m_soundEnd = -1;  // where the sound before the damage ends, its last packet's end
  Span m_last;              // the packet taken last
  bool m_damaged = false;
  double m_refusedSeconds = 0;
  int64_t m_refusedBytes = 0;
  // The bytes and seconds of the packets taken last before the damage, for the rate of the stream.
  static constexpr std::size_t kRecentPackets = 64;
  std::array<Span, kRecentPackets> m_recent{};
  std::size_t m_recentCount = 0;
};

}  // namespace voxtrellis
