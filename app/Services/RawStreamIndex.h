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

namespace parlowvista {

// Where the packets of a raw MP3 or ADTS AAC stream lie in the file's sound, stamped as the
// loader stamps them (voxtrellis::FrameTimeline, by the length each packet's own header states,
// counted from the stream's start). FFmpeg's readers of these know where a packet lies only by
// reading every one before it: a seek lands where the bit rate or a table of contents guesses.
// One pass over the packets keeps where they start every quarter of a second, so that a seek
// goes to a packet whose stamp is known, and the packets read from there are counted on.
//
// The pass runs on a thread of its own from the index's making, through a container of its own,
// so that it is done, or far along, by the time a seek needs it; the second half of a large file
// is read at the same time on another. The index ends the pass when it goes.
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
    // Where the packet starts in the file, as found there (voxtrellis::RawPacketPlace): a reader
    // sent there reads it first.
    int64_t position = 0;
    uint64_t signature = 0;  // of the packet (voxtrellis::SoundPlaces::signatureOf), to know it again
    int64_t stamp = 0;       // where the packet lies, in the stream's time base
  };
  // The last checkpoint at or before `stamp`, waiting for the pass to get past it (or to end);
  // the first when none is; nothing when the pass found no packet.
  std::optional<Checkpoint> before(int64_t stamp);

 private:
  struct Half;
  explicit RawStreamIndex(AVRational timeBase) : m_timeBase(timeBase) {}
  void pass(int fd, const QByteArray& name, int stream);

  const AVRational m_timeBase;

  std::mutex m_lock;  // guards what follows
  std::condition_variable m_progressed;
  std::vector<Checkpoint> m_checkpoints;
  int64_t m_reached = INT64_MIN;  // the pass has stamped every packet up to here
  bool m_done = false;
  std::atomic_bool m_stop{false};
  std::thread m_pass;
};

}  // namespace parlowvista
