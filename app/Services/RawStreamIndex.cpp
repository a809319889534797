#include "Services/RawStreamIndex.h"

#include "Services/DescriptorInput.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <iterator>
#include <string_view>

namespace parlowvista {

namespace {

constexpr int kCheckpointsPerSecond = 4;
// The pass tells how far it got every so many packets (a second or so of sound).
constexpr int kPacketsPerProgress = 64;

struct FrameSize {
  int samples = 0;
  int rate = 0;
};

// What an ADTS header states: 1024 samples per raw data block, at its rate.
FrameSize adtsFrame(const AVPacket& packet) {
  static constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};
  if (packet.size < 7 || packet.data[0] != 0xFF || (packet.data[1] & 0xF6) != 0xF0) return {};
  const int rate = (packet.data[2] >> 2) & 0x0F;
  if (rate >= int(std::size(kRates))) return {};
  return {1024 * ((packet.data[6] & 0x03) + 1), kRates[rate]};
}

// What an MPEG audio frame header states: its layer's samples per frame (Layer III of MPEG-2
// and 2.5 has half as many), at its rate.
FrameSize mpegAudioFrame(const AVPacket& packet) {
  if (packet.size < 4 || packet.data[0] != 0xFF || (packet.data[1] & 0xE0) != 0xE0) return {};
  const int version = (packet.data[1] >> 3) & 0x03;  // 0: MPEG-2.5, 2: MPEG-2, 3: MPEG-1
  const int layer = (packet.data[1] >> 1) & 0x03;    // 1: III, 2: II, 3: I
  const int rateIndex = (packet.data[2] >> 2) & 0x03;
  if (version == 1 || layer == 0 || rateIndex == 3) return {};
  static constexpr int kRates[] = {44100, 48000, 32000};
  const int rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  const int samples = layer == 3 ? 384 : layer == 2 || version == 3 ? 1152 : 576;
  return {samples, rate};
}

}  // namespace

std::unique_ptr<RawStreamIndex> RawStreamIndex::start(const AVFormatContext& container, int stream, int fd,
                                                      const QByteArray& name) {
  const std::string_view format = container.iformat ? container.iformat->name : "";
  if (format != "mp3" && format != "aac") return nullptr;
  std::unique_ptr<RawStreamIndex> index(new RawStreamIndex(container.streams[stream]->time_base, format == "aac"));
  index->m_pass = std::thread([index = index.get(), fd, name, stream] { index->pass(fd, name, stream); });
  return index;
}

RawStreamIndex::~RawStreamIndex() {
  m_stop = true;
  if (m_pass.joinable()) m_pass.join();
}

int64_t RawStreamIndex::lengthOf(const AVPacket& packet) const {
  const FrameSize size = m_adts ? adtsFrame(packet) : mpegAudioFrame(packet);
  return size.rate > 0 ? av_rescale_q(size.samples, AVRational{1, size.rate}, m_timeBase) : 0;
}

void RawStreamIndex::pass(int fd, const QByteArray& name, int stream) {
  DescriptorInput input(fd, name);
  AVPacket* packet = av_packet_alloc();
  // FFmpeg's ADTS reader gives whole frames by itself; MP3's needs its parser to split them.
  // The stamps it would fill in are not needed.
  if (packet && input.open(AVFMT_FLAG_NOFILLIN | (m_adts ? AVFMT_FLAG_NOPARSE : 0)) >= 0) {
    const int64_t spacing = av_rescale_q(1, AVRational{1, kCheckpointsPerSecond}, m_timeBase);
    int64_t clock = 0;
    int64_t lastCheckpoint = INT64_MIN;
    int count = 0;
    std::vector<Checkpoint> found;
    while (!m_stop && av_read_frame(input.container(), packet) >= 0) {
      if (packet->stream_index == stream && packet->pos >= 0) {
        if (lastCheckpoint == INT64_MIN && packet->pts != AV_NOPTS_VALUE) clock = packet->pts;
        if (lastCheckpoint == INT64_MIN || clock - lastCheckpoint >= spacing) {
          found.push_back({packet->pos, clock});
          lastCheckpoint = clock;
        }
        clock += lengthOf(*packet);
      }
      av_packet_unref(packet);
      if (++count % kPacketsPerProgress == 0) {
        const std::lock_guard lock(m_lock);
        m_checkpoints.insert(m_checkpoints.end(), found.begin(), found.end());
        found.clear();
        m_reached = clock;
        m_progressed.notify_all();
      }
    }
    const std::lock_guard lock(m_lock);
    m_checkpoints.insert(m_checkpoints.end(), found.begin(), found.end());
  }
  av_packet_free(&packet);
  const std::lock_guard lock(m_lock);
  m_done = true;
  m_progressed.notify_all();
}

std::optional<RawStreamIndex::Checkpoint> RawStreamIndex::before(int64_t stamp) {
  std::unique_lock lock(m_lock);
  m_progressed.wait(lock, [&] { return m_done || m_reached > stamp; });
  if (m_checkpoints.empty()) return std::nullopt;
  const auto after = std::upper_bound(m_checkpoints.begin(), m_checkpoints.end(), stamp,
                                      [](int64_t value, const Checkpoint& point) { return value < point.stamp; });
  return after == m_checkpoints.begin() ? m_checkpoints.front() : *std::prev(after);
}

void RawStreamIndex::stamp(AVPacket& packet) {
  if (!m_clock) {
    if (packet.pts == AV_NOPTS_VALUE) return;
    m_clock = packet.pts;
  }
  packet.pts = packet.dts = *m_clock;
  *m_clock += lengthOf(packet);
}

}  // namespace parlowvista
