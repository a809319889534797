#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace voxtrellis {

// Where the sound of a file lies in it, as the engine's loader read and decoded it: every quarter
// of a second or so of its sound, a packet's place in the file, the stamp its container gave it,
// and the seconds at which the loader laid out that packet's sound. A player that goes to these
// packets and lays out their sound where the loader did plays every place where the loader (and
// so the transcript) has it, whatever else the file says of its time:
// - A raw MP3 or ADTS AAC file says where its frames lie only by counting them, and damage makes
//   any count from headers and byte positions differ from what the decoder gave (a header stating
//   too long a frame holds several; bytes the reader steps over hold frames nobody counts); in
//   FLAC, FFmpeg searches for a time among frames that damage may have made up, and a frame's own
//   number may be of a rate its header no longer states. These are gone to by position.
// - Other containers are gone to by their own stamp for the packet, which their reader finds
//   through their tables, but whose seconds may be anything but the loader's (a CAF header stating
//   513 frames per packet of one, or a rate of 10^190 Hz): the packet's sound lies where the
//   loader laid it.
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
    // The packet's stamp as the container's reader gave it, in its stream's time base.
    int64_t stamp = 0;
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
  // The place's packet is found where the record puts it in the file `read` reads: a place a
  // seek goes by is checked so first (a file edited in place at the same size, between the places
  // fits() looks at, holds other packets there).
  static bool foundAt(const Place& place, const ReadAt& read);

  // What tells a packet (its `size` bytes from `data`) from the ones around it.
  static uint64_t signatureOf(const uint8_t* data, int size);

  // Frames of digital silence are byte for byte alike, and past damage where such a packet lies
  // is not sure (see RawPacketPlace): in a file gone to by position, no place is kept at a packet
  // alike one of the few before it.
  class Recent {
   public:
    // Whether `signature` is that of one of the last kRemembered packets told; then tells it.
    bool alike(uint64_t signature);
    static constexpr std::size_t kRemembered = 8;

   private:
    uint64_t m_signatures[kRemembered] = {};
    std::size_t m_count = 0;
  };

  // The record as bytes and back: nothing for bytes that are no such record (of an unknown
  // version, cut short, their checksum not theirs, a place out of order or of no number). A
  // record of the earlier version, without the checksum, is read too.
  std::string toBytes() const;
  static std::optional<SoundPlaces> fromBytes(std::string_view bytes);

  // Places are kept this far apart in the loader's sound, at least.
  static constexpr double kSpacingSeconds = 0.25;

 private:
  int64_t m_fileSize = 0;
  std::vector<Place> m_places;
};

}  // namespace voxtrellis
