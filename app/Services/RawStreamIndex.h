#pragma once

extern "C" {
#include <libavutil/rational.h>
}

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct AVFormatContext;
struct AVInputFormat;
struct AVPacket;

namespace parlowvista {

// Where the packets of a raw MP3 or ADTS AAC stream lie in the file's sound, in the stream's
// time base. FFmpeg's readers of these stamp packets by counting them at one rate and know
// where a packet lies only by reading every one before it: a seek lands where the bit rate or
// a table of contents guesses, and stamps run wrong wherever the rate changes (files joined end
// to end). Each packet's own header tells how long it lasts, as the loader counts it
// (voxtrellis::FrameTimeline::rawFrame; a packet without one, such as the tag in front of a
// joined part, lasts nothing, as it decodes to nothing). One pass over the
// packets keeps where they start every quarter of a second, so that a seek goes to a packet
// whose time is known, and the packets read from there are stamped as they come.
//
// The pass runs on a thread of its own from the index's making, through a container of its own,
// so that it is done, or far along, by the time a seek needs it. Its owner (one thread) asks where to seek and stamps
// packets; the index ends the pass when it goes.
class RawStreamIndex {
 public:
  // The index of `container`'s stream when it is raw MP3 or ADTS AAC, its pass started over
  // `fd` (read at positions of its own, see DescriptorInput); nothing otherwise.
  static std::unique_ptr<RawStreamIndex> start(const AVFormatContext& container, int stream, int fd,
                                               const QByteArray& name);
  ~RawStreamIndex();
  RawStreamIndex(const RawStreamIndex&) = delete;
  RawStreamIndex& operator=(const RawStreamIndex&) = delete;

  struct Checkpoint {
    int64_t position = 0;  // of the packet's first byte in the file
    int64_t stamp = 0;     // where the packet lies, in the stream's time base
  };
  // The last checkpoint at or before `stamp`, waiting for the pass to get past it (or to end);
  // the first when none is; nothing when the pass found no packet.
  std::optional<Checkpoint> before(int64_t stamp);

  // Packets read in order from where the container went: from a checkpoint (its stamp), or from
  // the stream's start (the first packet's own stamp). Stamps `packet` where it lies and moves
  // on by its length.
  void restartAt(std::optional<int64_t> stamp) { m_clock = stamp; }
  void stamp(AVPacket& packet);

 private:
  RawStreamIndex(AVRational timeBase, const AVInputFormat& format) : m_timeBase(timeBase), m_format(format) {}
  void pass(int fd, const QByteArray& name, int stream);
  // The packet's length by its own header, in the time base; 0 without one.
  int64_t lengthOf(const AVPacket& packet) const;

  const AVRational m_timeBase;
  const AVInputFormat& m_format;   // FFmpeg's, static
  std::optional<int64_t> m_clock;  // the owner's

  std::mutex m_lock;  // guards what follows
  std::condition_variable m_progressed;
  std::vector<Checkpoint> m_checkpoints;
  int64_t m_reached = INT64_MIN;  // the pass has stamped every packet up to here
  bool m_done = false;
  std::atomic_bool m_stop{false};
  std::thread m_pass;
};

}  // namespace parlowvista
