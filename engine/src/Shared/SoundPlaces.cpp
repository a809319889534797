#include <voxtrellis/LastAtOrBefore.h>
#include <voxtrellis/SoundPlaces.h>

extern "C" {
#include <libavutil/crc.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

namespace voxtrellis {

namespace {
// The bytes of a record: a tag with its version, the file's size, the count of places, then each
// place's fields in the machine's own byte order (the record stays on the machine that made it),
// then the CRC-32 of all that. The earlier version had no CRC.
constexpr char kTag[8] = {'P', 'V', 'P', 'L', 'A', 'C', 'E', '3'};
constexpr char kUncheckedTag[8] = {'P', 'V', 'P', 'L', 'A', 'C', 'E', '2'};
constexpr std::size_t kPlaceBytes =
    sizeof(int64_t) + sizeof(int32_t) + sizeof(uint64_t) + sizeof(double) + sizeof(int64_t);
constexpr int kSignedBytes = 64;
// Places looked for in the file when a record is checked against it: the first, the last, and
// this many between.
constexpr std::size_t kCheckedBetween = 6;

template <class T>
void put(std::string& out, const T& value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}
template <class T>
T take(std::string_view& in) {
  T value;
  std::memcpy(&value, in.data(), sizeof value);
  in.remove_prefix(sizeof value);
  return value;
}
uint32_t crcOf(std::string_view bytes) {
  return av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), UINT32_MAX, reinterpret_cast<const uint8_t*>(bytes.data()),
                bytes.size()) ^
         UINT32_MAX;
}
}  // namespace

void SoundPlaces::add(const Place& place) {
  if (!m_places.empty() && (place.position <= m_places.back().position || place.seconds <= m_places.back().seconds)) {
    return;
  }
  m_places.push_back(place);
}

std::optional<SoundPlaces::Place> SoundPlaces::before(double seconds) const {
  return lastAtOrBefore(m_places, seconds, [](const Place& place) { return place.seconds; });
}

bool SoundPlaces::fits(int64_t fileSize, const ReadAt& read) const {
  if (m_places.empty() || fileSize != m_fileSize) return false;
  const std::size_t count = m_places.size();
  for (std::size_t i = 0; i <= kCheckedBetween + 1; ++i) {
    if (!foundAt(m_places[std::min(count - 1, i * (count - 1) / (kCheckedBetween + 1))], read)) return false;
  }
  return true;
}

bool SoundPlaces::foundAt(const Place& place, const ReadAt& read) {
  uint8_t bytes[kSignedBytes];
  const int wanted = std::min<int>(place.size, kSignedBytes);
  if (place.size <= 0 || read(place.position, bytes, wanted) != wanted) return false;
  // The signature counts the packet's size and its first bytes (see signatureOf).
  return signatureOf(bytes, place.size) == place.signature;
}

bool SoundPlaces::Recent::alike(uint64_t signature) {
  const bool seen = std::find(m_signatures, m_signatures + std::min(m_count, kRemembered), signature) !=
                    m_signatures + std::min(m_count, kRemembered);
  m_signatures[m_count++ % kRemembered] = signature;
  return seen;
}

uint64_t SoundPlaces::signatureOf(const uint8_t* data, int size) {
  // FNV-1a over its size and its first bytes.
  uint64_t hash = 14695981039346656037ull ^ uint64_t(size);
  for (int i = 0; i < std::min(size, kSignedBytes); ++i) hash = (hash ^ data[i]) * 1099511628211ull;
  return hash;
}

std::string SoundPlaces::toBytes() const {
  std::string out(kTag, sizeof kTag);
  put(out, m_fileSize);
  put(out, uint64_t(m_places.size()));
  for (const Place& place : m_places) {
    put(out, place.position);
    put(out, place.size);
    put(out, place.signature);
    put(out, place.seconds);
    put(out, place.stamp);
  }
  put(out, crcOf(out));
  return out;
}

std::optional<SoundPlaces> SoundPlaces::fromBytes(std::string_view in) {
  constexpr std::size_t head = sizeof kTag + sizeof(int64_t) + sizeof(uint64_t);
  if (in.size() < head) return std::nullopt;
  const bool checked = std::memcmp(in.data(), kTag, sizeof kTag) == 0;
  if (!checked && std::memcmp(in.data(), kUncheckedTag, sizeof kUncheckedTag) != 0) return std::nullopt;
  if (checked) {
    if (in.size() < head + sizeof(uint32_t)) return std::nullopt;
    const std::string_view body = in.substr(0, in.size() - sizeof(uint32_t));
    std::string_view stated = in.substr(body.size());
    if (take<uint32_t>(stated) != crcOf(body)) return std::nullopt;
    in = body;
  }
  in.remove_prefix(sizeof kTag);
  SoundPlaces record(take<int64_t>(in));
  const auto count = take<uint64_t>(in);
  if (count > in.size() / kPlaceBytes || in.size() != count * kPlaceBytes) return std::nullopt;
  record.m_places.reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    Place place;
    place.position = take<int64_t>(in);
    place.size = take<int32_t>(in);
    place.signature = take<uint64_t>(in);
    place.seconds = take<double>(in);
    place.stamp = take<int64_t>(in);
    if (!std::isfinite(place.seconds) || place.position < 0 || place.size <= 0) return std::nullopt;
    const std::size_t before = record.m_places.size();
    record.add(place);
    if (record.m_places.size() == before) return std::nullopt;
  }
  return record;
}

}  // namespace voxtrellis
