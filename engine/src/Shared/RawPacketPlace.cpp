#include <voxtrellis/RawPacketPlace.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace voxtrellis {

namespace {
constexpr int64_t kSearchBlock = 64 * 1024;
// Packets are asked for in the order they lie: their first bytes are read a block at a time.
constexpr int64_t kCachedBytes = 64 * 1024;
}  // namespace

const uint8_t* RawPacketPlace::bytesAt(int64_t offset, int count) {
  if (offset < m_cachedFrom || offset + count > m_cachedFrom + int64_t(m_cached.size())) {
    m_cached.resize(std::size_t(kCachedBytes));
    const int64_t got = m_read(offset, m_cached.data(), kCachedBytes);
    m_cached.resize(std::size_t(std::max<int64_t>(got, 0)));
    m_cachedFrom = offset;
    if (got < count) return nullptr;
  }
  return m_cached.data() + (offset - m_cachedFrom);
}

int64_t RawPacketPlace::of(int64_t stated, const uint8_t* head, int size) {
  if (stated < 0 || size <= 0) return stated;
  const int64_t expected = stated + m_leftOut;
  const int known = std::min(size, kKnownBytes);
  // No packet lies before the one asked for last (the same one may be asked for again).
  const auto at = [&](int64_t offset) {
    const uint8_t* there = offset >= m_lastFound ? bytesAt(offset, known) : nullptr;
    return there && std::memcmp(there, head, std::size_t(known)) == 0;
  };
  const auto found = [&](int64_t position) {
    m_leftOut = position - stated;
    m_lastFound = position;
    return position;
  };
  // Where it is expected, first: that is where it lies but past damage. Then where it is stated:
  // FFmpeg starts its parser again after some errors of reading, which counts from the reader's
  // own position again.
  if (at(expected)) return found(expected);
  if (m_leftOut != 0 && stated > m_lastFound && at(stated)) return found(stated);
  // Then the first place after the packet found last (no packet lies before it) and from the
  // stated one on.
  std::vector<uint8_t> block(std::size_t(kSearchBlock + known));
  const int64_t start = std::max(stated, m_lastFound + 1);
  for (int64_t from = start; from < start + kMostSearched; from += kSearchBlock) {
    const int64_t got = m_read(from, block.data(), kSearchBlock + known - 1);
    if (got < known) break;
    const auto end = block.begin() + got;
    const auto match = std::search(block.begin(), end, head, head + known);
    if (match != end) return found(from + (match - block.begin()));
  }
  return expected;
}

}  // namespace voxtrellis
