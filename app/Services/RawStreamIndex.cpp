#include "Services/RawStreamIndex.h"

#include "Services/DescriptorInput.h"

#include <voxtrellis/FrameTimeline.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <iterator>

namespace parlowvista {

namespace {

constexpr int kCheckpointsPerSecond = 4;
// The pass tells how far it got every so many packets (a second or so of sound).
constexpr int kPacketsPerProgress = 64;

}  // namespace

std::unique_ptr<RawStreamIndex> RawStreamIndex::start(const AVFormatContext& container, int stream, int fd,
                                                      const QByteArray& name) {
  const AVInputFormat* format = voxtrellis::FrameTimeline::rawFormat(container);
  if (!format) return nullptr;
  std::unique_ptr<RawStreamIndex> index(new RawStreamIndex(container.streams[stream]->time_base, *format));
  index->m_pass = std::thread([index = index.get(), fd, name, stream] { index->pass(fd, name, stream); });
  return index;
}

RawStreamIndex::~RawStreamIndex() {
  m_stop = true;
  if (m_pass.joinable()) m_pass.join();
}

void RawStreamIndex::pass(int fd, const QByteArray& name, int stream) {
  DescriptorInput input(fd, name);
  AVPacket* packet = av_packet_alloc();
  // The packets the player reads, split by FFmpeg's parser as the loader's are (the ADTS reader
  // gives whole frames by itself, but across damage it loses more of them than the parser does),
  // without the stamps the reader would fill in.
  if (packet && input.open(AVFMT_FLAG_NOFILLIN) >= 0) {
    const int64_t spacing = av_rescale_q(1, AVRational{1, kCheckpointsPerSecond}, m_timeBase);
    // Counted as the player counts the packets it reads.
    voxtrellis::FrameTimeline counter(*input.container(), stream);
    counter.restartCount(0);
    int64_t lastCheckpoint = INT64_MIN;
    int count = 0;
    std::vector<Checkpoint> found;
    while (!m_stop && av_read_frame(input.container(), packet) >= 0) {
      if (packet->stream_index == stream && packet->pos >= 0) {
        counter.stampPacket(*packet);
        if (lastCheckpoint == INT64_MIN || packet->pts - lastCheckpoint >= spacing) {
          found.push_back({packet->pos, signatureOf(*packet), packet->pts});
          lastCheckpoint = packet->pts;
        }
      }
      const int64_t reached = packet->pts;
      av_packet_unref(packet);
      if (++count % kPacketsPerProgress == 0 && reached != AV_NOPTS_VALUE) {
        const std::lock_guard lock(m_lock);
        m_checkpoints.insert(m_checkpoints.end(), found.begin(), found.end());
        found.clear();
        m_reached = reached;
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

uint64_t RawStreamIndex::signatureOf(const AVPacket& packet) {
  // FNV-1a over its size and its first bytes.
  uint64_t hash = 14695981039346656037ull ^ uint64_t(packet.size);
  for (int i = 0; i < std::min(packet.size, 64); ++i) hash = (hash ^ packet.data[i]) * 1099511628211ull;
  return hash;
}

std::optional<RawStreamIndex::Checkpoint> RawStreamIndex::before(int64_t stamp) {
  std::unique_lock lock(m_lock);
  m_progressed.wait(lock, [&] { return m_done || m_reached > stamp; });
  if (m_checkpoints.empty()) return std::nullopt;
  const auto after = std::upper_bound(m_checkpoints.begin(), m_checkpoints.end(), stamp,
                                      [](int64_t value, const Checkpoint& point) { return value < point.stamp; });
  return after == m_checkpoints.begin() ? m_checkpoints.front() : *std::prev(after);
}

}  // namespace parlowvista
