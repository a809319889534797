#include "Shared/PlaceKeeper.h"

#include <voxtrellis/FrameTimeline.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <utility>

namespace voxtrellis {

namespace {

// Raw packets given to the decoder lately, kept to know which one a frame came out of.
constexpr std::size_t kRememberedPackets = 64;

}  // namespace

PlaceKeeper::PlaceKeeper(std::string path, int64_t fileSize, bool byPosition, const AVInputFormat* raw)
    : m_path(std::move(path)), m_places(fileSize), m_byPosition(byPosition), m_raw(raw) {}

void PlaceKeeper::took(const AVPacket& packet, int64_t at, bool damaged) {
  const FrameTimeline::RawFrame stated = m_raw ? FrameTimeline::rawFrame(*m_raw, packet) : FrameTimeline::RawFrame{};
  const uint64_t signature = SoundPlaces::signatureOf(packet.data, packet.size);
  // A packet alike one just before it is not known where it lies, when it is gone to by its
  // position: none is kept there.
  const bool unsure = m_recent.alike(signature) && m_byPosition;
  m_sent.push_back(
      {packet.pts, {unsure ? -1 : at, packet.size, signature, 0, packet.pts}, stated.samples, stated.rate});
  if (m_sent.size() > kRememberedPackets) m_sent.pop_front();
  if (m_raw) {
    if (damaged) m_damageReach.damaged();
    m_damageReach.frame(at);
  }
}

// The packet the frame came out of, where the frame was laid out from `start` on, is a place of
// the file's sound (see SoundPlaces) when it is the first a quarter of a second after the last, and
// its frame holds its whole sound (the first may lack its first samples, an encoder's delay: the
// packet's sound then begins before `start`).
// The first frame after damage is none: FFmpeg's FLAC parser may lend a damaged packet a later
// one's stamp.
void PlaceKeeper::delivered(const AVFrame& frame, double start, bool damaged) {
  const bool first = !std::exchange(m_delivered, true);
  if (frame.best_effort_timestamp == AV_NOPTS_VALUE || damaged) return;
  const auto from = std::find_if(m_sent.rbegin(), m_sent.rend(),
                                 [&](const Sent& packet) { return packet.stamp == frame.best_effort_timestamp; });
  if (from == m_sent.rend() || (from->rate && from->rate != frame.sample_rate) || from->place.position < 0) return;
  if (m_raw && !m_damageReach.past(from->place.position)) return;
  const int missing = from->samples ? from->samples - frame.nb_samples : 0;
  if (missing < 0 || (missing > 0 && !first)) return;
  SoundPlaces::Place place = from->place;
  place.seconds = start - double(missing) / frame.sample_rate;
  if (m_places.empty() || place.seconds >= m_places.places().back().seconds + SoundPlaces::kSpacingSeconds) {
    if (foundInFile(place)) m_places.add(place);
  }
}

// The place's packet is where its position says (past damage FFmpeg's FLAC parser may state
// another, where the player would not find it, and would take none of the places).
bool PlaceKeeper::foundInFile(const SoundPlaces::Place& place) {
  if (!m_file.is_open()) m_file.open(m_path, std::ios::binary);
  return SoundPlaces::foundAt(place, [this](int64_t offset, uint8_t* buffer, int64_t size) -> int64_t {
    m_file.clear();
    if (!m_file.seekg(offset)) return -1;
    m_file.read(reinterpret_cast<char*>(buffer), size);
    return m_file.gcount();
  });
}

}  // namespace voxtrellis
