#include "Services/RawStreamIndex.h"

#include "Services/DescriptorInput.h"

#include <voxtrellis/FrameTimeline.h>
#include <voxtrellis/LastAtOrBefore.h>
#include <voxtrellis/RawDamageReach.h>
#include <voxtrellis/RawPacketPlace.h>
#include <voxtrellis/SoundPlaces.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <iterator>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace parlowvista {

namespace {

constexpr int kCheckpointsPerSecond = 4;
// The pass tells how far it got every so many packets (a second or so of sound).
constexpr int kPacketsPerProgress = 64;
// A file this large is read in two halves at once, the second one's stamps counted from where it
// starts until the first half reads its first packets again: the same packets at the same places
// in the file, so many of them in a row that nothing else is taken for them. Packets alike one of
// the few before them (frames of digital silence are byte for byte the same) tell nothing: past
// damage one may be found a frame or more from where it lies. The second half's first few (as
// many as are remembered to tell that) are passed by, so that both halves know the packets before
// those it keeps.
constexpr int64_t kLeastSplitBytes = 4 << 20;
constexpr std::size_t kJoiningPackets = 32;
constexpr std::size_t kSureJoinPackets = 4;
constexpr std::size_t kUnknownBefore = voxtrellis::SoundPlaces::Recent::kRemembered;

// Reads the stream's packets from the byte `from` on (0: the start) until the end, `stop`, or
// `onPacket` returning false; each is stamped first, counted from 0 where the reading starts, as
// the player counts the packets it reads (voxtrellis::FrameTimeline). The packets are split by
// FFmpeg's parser as the loader's are (the ADTS reader gives whole frames by itself, but across
// damage it loses more of them than the parser does); the reader's own stamps are not wanted.
// Bytes that are no packet are read past as the loader and the player read past them, as long as
// reading moves on. `onPacket` is given where the packet lies in the file, found there
// (voxtrellis::RawPacketPlace: the position the parser states lies short past damage), for the
// packets it keeps, and what is Seen of it.
struct Seen {
  // The packet is alike one of the few before it (frames of digital silence: past damage, where
  // such a one lies is not sure).
  bool alike = false;
  // It is a frame past the reach of the damage before it (voxtrellis::RawDamageReach: packets that
  // are no frame by their header, bytes that are none): a reader started at it reads what this
  // one reads from there.
  bool beyondDamage = true;
};
template <class OnPacket>
void readPackets(int fd, const QByteArray& name, int stream, int64_t from, const std::atomic_bool& stop,
                 OnPacket onPacket) {
  DescriptorInput input(fd, name);
  AVPacket* packet = av_packet_alloc();
  if (packet && input.open(AVFMT_FLAG_NOFILLIN) >= 0 &&
      (from == 0 || av_seek_frame(input.container(), stream, from, AVSEEK_FLAG_BYTE) >= 0)) {
    voxtrellis::FrameTimeline counter(*input.container(), stream);
    counter.restartCount(0);
    voxtrellis::RawPacketPlace place([fd](int64_t offset, uint8_t* buffer, int64_t size) -> int64_t {
      return ::pread(fd, buffer, std::size_t(size), offset);
    });
    // Each packet is looked for once.
    std::optional<int64_t> found;
    const auto placeOf = [&place, &found](const AVPacket& packet) {
      if (!found) found = place.of(packet.pos, packet.data, packet.size);
      return *found;
    };
    const AVInputFormat& format = *input.container()->iformat;
    voxtrellis::RawDamageReach reach;
    int64_t unreadableAt = -1;
    voxtrellis::SoundPlaces::Recent recent;
    bool more = true;
    while (more && !stop) {
      const int read = av_read_frame(input.container(), packet);
      if (read == AVERROR_INVALIDDATA) {
        reach.damaged();
        const int64_t at = avio_tell(input.container()->pb);
        if (at <= unreadableAt) break;
        unreadableAt = at;
        continue;
      }
      if (read < 0) break;
      if (packet->stream_index == stream && packet->pos >= 0) {
        found.reset();
        counter.stampPacket(*packet);
        Seen seen;
        seen.alike = recent.alike(voxtrellis::SoundPlaces::signatureOf(packet->data, packet->size));
        const bool frame = voxtrellis::FrameTimeline::rawFrame(format, *packet).samples > 0 ||
                           voxtrellis::FrameTimeline::isJointTag(*packet);
        // The position FFmpeg states lies short, never past where the packet lies: only a packet
        // stated within the reach is looked for.
        if (!frame) {
          reach.damaged();
        } else if (!reach.past(packet->pos)) {
          reach.frame(placeOf(*packet));
        }
        seen.beyondDamage = frame && (reach.past(packet->pos) || reach.past(placeOf(*packet)));
        more = onPacket(*packet, placeOf, seen);
      }
      av_packet_unref(packet);
    }
  }
  av_packet_free(&packet);
}

}  // namespace

// The second half of a file read: its checkpoints stamped from where it starts, and its first
// packets, for the first half to know again.
struct RawStreamIndex::Half {
  std::vector<Checkpoint> checkpoints;
  std::vector<Checkpoint> first;
};

std::unique_ptr<RawStreamIndex> RawStreamIndex::start(const AVFormatContext& container, int stream, int fd,
                                                      const QByteArray& name) {
  if (!voxtrellis::FrameTimeline::rawFormat(container)) return nullptr;
  std::unique_ptr<RawStreamIndex> index(new RawStreamIndex(container.streams[stream]->time_base));
  index->m_pass = std::thread([index = index.get(), fd, name, stream] { index->pass(fd, name, stream); });
  return index;
}

RawStreamIndex::~RawStreamIndex() {
  m_stop = true;
  if (m_pass.joinable()) m_pass.join();
}

void RawStreamIndex::pass(int fd, const QByteArray& name, int stream) {
  const int64_t spacing = av_rescale_q(1, AVRational{1, kCheckpointsPerSecond}, m_timeBase);
  struct stat info {};
  int64_t middle = ::fstat(fd, &info) == 0 && info.st_size >= kLeastSplitBytes ? info.st_size / 2 : 0;
  Half second;
  std::thread secondReader;
  if (middle > 0) {
    secondReader = std::thread([&] {
      int64_t last = INT64_MIN;
      std::size_t read = 0;
      readPackets(fd, name, stream, middle, m_stop, [&](const AVPacket& packet, const auto& placeOf, Seen seen) {
        const bool joining = second.first.size() < kJoiningPackets && ++read > kUnknownBefore && !seen.alike;
        const bool checkpoint = (last == INT64_MIN || packet.pts - last >= spacing) && !seen.alike && seen.beyondDamage;
        if (!joining && !checkpoint) return true;
        const Checkpoint point{placeOf(packet), voxtrellis::SoundPlaces::signatureOf(packet.data, packet.size),
                               packet.pts};
        if (joining) second.first.push_back(point);
        if (checkpoint) {
          second.checkpoints.push_back(point);
          last = packet.pts;
        }
        return true;
      });
    });
  }
  int64_t last = INT64_MIN;
  int count = 0;
  std::vector<Checkpoint> found;
  const auto publish = [&](int64_t reached) {
    const std::lock_guard lock(m_lock);
    m_checkpoints.insert(m_checkpoints.end(), found.begin(), found.end());
    found.clear();
    m_reached = std::max(m_reached, reached);
    m_progressed.notify_all();
  };
  // The second half's packets the first half has read again, one after the other: from
  // second.first[runFrom] on, `run` of them, the first stamped `runStamp` here.
  std::size_t runFrom = 0, run = 0;
  int64_t runStamp = 0;
  readPackets(fd, name, stream, 0, m_stop, [&](const AVPacket& packet, const auto& placeOf, Seen seen) {
    std::optional<int64_t> position;
    if (middle > 0 && packet.pos >= middle && !seen.alike) {
      if (secondReader.joinable()) secondReader.join();
      position = placeOf(packet);
      const Checkpoint point{*position, voxtrellis::SoundPlaces::signatureOf(packet.data, packet.size), packet.pts};
      const auto same = [&](const Checkpoint& known) {
        return known.position == point.position && known.signature == point.signature;
      };
      if (run > 0 && runFrom + run < second.first.size() && same(second.first[runFrom + run])) {
        ++run;
      } else {
        const auto known = std::find_if(second.first.begin(), second.first.end(), same);
        run = known == second.first.end() ? 0 : 1;
        runFrom = std::size_t(known - second.first.begin());
        runStamp = point.stamp;
      }
      if (run == kSureJoinPackets) {
        // The second half from the run's first packet on, its stamps moved to where it lies here
        // (the first half's own checkpoints reach past it, by the run).
        const int64_t shift = runStamp - second.first[runFrom].stamp;
        for (const Checkpoint& known : second.checkpoints) {
          if (known.stamp + shift > last) found.push_back({known.position, known.signature, known.stamp + shift});
        }
        return false;
      }
      if (run == 0 && (second.first.empty() || *position > second.first.back().position)) {
        middle = 0;  // none read again for sure: read on alone
      }
    }
    // The first packet is where a reading from the stream's start begins, whatever it holds.
    if (last == INT64_MIN || (packet.pts - last >= spacing && !seen.alike && seen.beyondDamage)) {
      found.push_back({position ? *position : placeOf(packet),
                       voxtrellis::SoundPlaces::signatureOf(packet.data, packet.size), packet.pts});
      last = packet.pts;
    }
    if (++count % kPacketsPerProgress == 0) publish(packet.pts);
    return true;
  });
  if (secondReader.joinable()) secondReader.join();
  publish(INT64_MIN);
  const std::lock_guard lock(m_lock);
  m_done = true;
  m_progressed.notify_all();
}

std::optional<RawStreamIndex::Checkpoint> RawStreamIndex::before(int64_t stamp) {
  std::unique_lock lock(m_lock);
  m_progressed.wait(lock, [&] { return m_done || m_reached > stamp; });
  return voxtrellis::lastAtOrBefore(m_checkpoints, stamp, [](const Checkpoint& point) { return point.stamp; });
}

}  // namespace parlowvista
