#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace voxtrellis {

// Where the sound of a raw MP3, ADTS AAC or FLAC file lies in its bytes, as the engine's loader
// read and decoded it: every quarter of a second or so of its sound, a packet's place in the file
// and the seconds at which the loader laid out that packet's sound. A raw file says where its
// frames lie only by counting them, and damage makes any count from headers and byte positions
// differ from what the decoder gave (a header stating too long a frame holds several; bytes the
// reader steps over hold frames nobody counts); in FLAC, FFmpeg searches for a time among frames
// that damage may have made up. A player that goes to these packets and counts its time from
// them plays every place where the loader (and so the transcript) has it.
//
// A plain value: copy it, keep it with the file's samples (toBytes, fromBytes). Not thread-safe
// while it is being added to; a finished record may be read from several threads at once.
class SoundPlaces {
 public:
  struct Place {
    int64_t position = 0;    // bytes from the file's start, where the packet starts
    int32_t size = 0;        // the packet's bytes
    uint64_t signature = 0;  // of the packet (signatureOf)
    // Where the loader laid out the packet's sound, in seconds from the file's start: the sound
    // it holds whole, also where the decoder drops its first samples (an MP3 encoder's delay),
    // so that this may lie a little before 0 for the first packet.
    double seconds = 0;
  };

  SoundPlaces() = default;
  // The record of a file of `fileSize` bytes.
  explicit SoundPlaces(int64_t fileSize) : m_fileSize(fileSize) {}

  int64_t fileSize() const { return m_fileSize; }
  bool empty() const { return m_places.empty(); }
  const std::vector<Place>& places() const { return m_places; }
  // A place after the last, in the file and in time; one out of that order is not kept.
  void add(const Place& place);

  // The last place at or before `seconds`; the first when none is; nothing when empty.
  std::optional<Place> before(double seconds) const;

  // Reads up to `size` bytes of the file at `offset` into `buffer`: the count read, 0 at the
  // file's end, negative on an error.
  using ReadAt = std::function<int64_t(int64_t offset, uint8_t* buffer, int64_t size)>;
  // The record is of the file `read` reads, `fileSize` bytes: it is of that size, and a few of
  // its packets, its first and last among them, are found where it puts them. False for an
  // empty record.
  bool fits(int64_t fileSize, const ReadAt& read) const;

  // What tells a packet (its `size` bytes from `data`) from the ones around it.
  static uint64_t signatureOf(const uint8_t* data, int size);

  // Frames of digital silence are byte for byte alike, and past damage where such a packet lies
  // is not sure (see RawPacketPlace): no place is kept at a packet alike one of the few before it.
  class Recent {
   public:
    // Whether `signature` is that of one of the last packets told; then tells it.
    bool alike(uint64_t signature);

   private:
    static constexpr std::size_t kRemembered = 8;
    uint64_t m_signatures[kRemembered] = {};
    std::size_t m_count = 0;
  };

  // The record as bytes and back: nothing for bytes that are no such record (of another
  // version, cut short).
  std::string toBytes() const;
  static std::optional<SoundPlaces> fromBytes(std::string_view bytes);

  // Places are kept this far apart in the loader's sound, at least.
  static constexpr double kSpacingSeconds = 0.25;

 private:
  int64_t m_fileSize = 0;
  std::vector<Place> m_places;
};

}  // namespace voxtrellis
