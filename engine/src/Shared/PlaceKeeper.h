#pragma once

#include <voxtrellis/RawDamageReach.h>
#include <voxtrellis/SoundPlaces.h>

#include <cstdint>
#include <deque>
#include <fstream>
#include <string>

struct AVFrame;
struct AVInputFormat;
struct AVPacket;

namespace voxtrellis {

// Where the loader finds the file's sound (SoundPlaces): told the packets the decoder takes, with
// where they lie, and the frames of sound that come out of them, with where they were laid out, it
// keeps a place every quarter of a second or so, each checked in the file first.
class PlaceKeeper {
 public:
  // For the file at `path`, of `fileSize` bytes; its stream gone to by position (see
  // FrameTimeline::placesByPosition) or not, raw MP3 or ADTS (`raw`: FrameTimeline::rawFormat) or
  // not.
  PlaceKeeper(std::string path, int64_t fileSize, bool byPosition, const AVInputFormat* raw);

  // The decoder took `packet`, lying at `at` in the file (-1: not known), remembered to know which
  // one a frame came out of; `damaged`: damage was skipped since the last frame of sound.
  void took(const AVPacket& packet, int64_t at, bool damaged);
  // The frame of sound out of one of them was laid out from `start` (seconds); `damaged`: damage was
  // skipped since the frame before it.
  void delivered(const AVFrame& frame, double start, bool damaged);

  const SoundPlaces& places() const { return m_places; }

 private:
  bool foundInFile(const SoundPlaces::Place& place);

  std::string m_path;
  SoundPlaces m_places;
  std::ifstream m_file;  // the file read again, to check a place before it is kept
  bool m_byPosition = false;
  const AVInputFormat* m_raw = nullptr;
  // The packets given to the decoder lately, by their stamps, with where they lie.
  struct Sent {
    int64_t stamp = 0;
    SoundPlaces::Place place;
    int samples = 0, rate = 0;  // as its header states
  };
  std::deque<Sent> m_sent;
  SoundPlaces::Recent m_recent;  // of the packets sent
  bool m_delivered = false;      // a frame of sound was delivered
  RawDamageReach m_damageReach;  // raw MP3 and ADTS: no place is kept within it
};

}  // namespace voxtrellis
