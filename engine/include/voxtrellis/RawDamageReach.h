#pragma once

#include <algorithm>
#include <cstdint>

namespace voxtrellis {

// How far damage in a raw MP3 or ADTS AAC stream reaches in its file. FFmpeg's readers find the
// frames of such a stream by their headers, and the bytes damage left may hold what they take
// for one, stating a frame that runs on over the frames after it: the ADTS reader takes that
// much as one packet and then steps over the bytes up to the next header, and its parser, which
// takes the bytes for none, joins what lies on either side of them. So a reader that read the
// damage reads other packets after it than one started at a frame within that reach (the player,
// gone to such a place of the loader's, decoded frames the loader lost, and laid the sound after
// them 0.3 s later than the loader). Where a seek may go, the loader's places and the player's
// index, is kept only past that reach: the longest frame a header states past the first frame
// read after the damage. A reader started before the damage reads it as the loader did.
//
// Told of the stream's packets in the order they are read. A plain value.
class RawDamageReach {
 public:
  // The longest frame a header may state: an ADTS header's 13-bit length (an MPEG audio header
  // states less).
  static constexpr int64_t kMostFrameBytes = 8191;

  // Damage was met since the packet told last: a packet that is no frame, one its decoder refused,
  // bytes that were none.
  void damaged() { m_pending = true; }
  // A frame read, lying at `position` in the file (as found there; negative: not known).
  void frame(int64_t position) {
    if (!m_pending || position < 0) return;
    m_from = std::max(m_from, position + kMostFrameBytes);
    m_pending = false;
  }
  // A reader started at the frame at `position` reads what the one told of read from there.
  bool past(int64_t position) const { return position >= 0 && !m_pending && position >= m_from; }

 private:
  bool m_pending = false;
  int64_t m_from = 0;
};

}  // namespace voxtrellis
