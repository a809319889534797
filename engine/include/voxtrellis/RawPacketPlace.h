#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace voxtrellis {

// Where the packets of a raw MP3 or ADTS AAC stream really start in their file. FFmpeg's parser
// states a packet's position by counting the bytes it was given, and its ADTS reader drops the
// bytes it finds no header in without telling it: from there on every position stated lies short
// by them, until an error of reading has FFmpeg start its parser again, which then counts from
// the reader's own position. Told of packets in the order they are read, it finds each one in the
// file by its first bytes: where the bytes known to be left out so far put it, else where it is
// stated, else the first place past the packet found before (frames of digital silence, or of a
// steady tone, may be alike: only past damage can one be taken for another).
// Not thread-safe; `read` is called on the caller's thread.
class RawPacketPlace {
 public:
  // Reads up to `size` bytes of the file at `offset` into `buffer`: the count read, 0 at the
  // file's end, negative on an error.
  using ReadAt = std::function<int64_t(int64_t offset, uint8_t* buffer, int64_t size)>;
  explicit RawPacketPlace(ReadAt read) : m_read(std::move(read)) {}

  // The position in the file of a packet stated at `stated` whose first bytes are `head`, `size`
  // of them (kKnownBytes are enough): where they are found (see above; at most kMostSearched
  // bytes on); where they are not found, where the bytes left out before put it.
  int64_t of(int64_t stated, const uint8_t* head, int size);

  // The bytes found left out before the packet asked for last.
  int64_t leftOut() const { return m_leftOut; }

  // A packet is known by this many of its first bytes (an ADTS header is 7, an MPEG audio one 4).
  static constexpr int kKnownBytes = 32;
  static constexpr int64_t kMostSearched = int64_t(64) << 20;

 private:
  // `count` bytes of the file from `offset` on, from a block read ahead; null past its end.
  const uint8_t* bytesAt(int64_t offset, int count);

  ReadAt m_read;
  int64_t m_leftOut = 0;
  int64_t m_lastFound = -1;  // where the packet asked for last was found
  std::vector<uint8_t> m_cached;
  int64_t m_cachedFrom = -1;
};

}  // namespace voxtrellis
