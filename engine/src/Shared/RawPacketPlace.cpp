#include <voxtrellis/RawPacketPlace.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace voxtrellis {

namespace {
constexpr int64_t kSearchBlock = 64 * 1024;
}  // namespace

int64_t RawPacketPlace::of(int64_t stated, const uint8_t* head, int size) {
  if (stated < 0 || size <= 0) return stated;
  const int64_t expected = stated + m_leftOut;
  const int known = std::min(size, kKnownBytes);
  // Where it is expected, first: that is where it lies but past damage.
  uint8_t there[kKnownBytes];
  if (m_read(expected, there, known) == known && std::memcmp(there, head, std::size_t(known)) == 0) return expected;
  std::vector<uint8_t> block(std::size_t(kSearchBlock + known));
  for (int64_t from = expected + 1; from < expected + kMostSearched; from += kSearchBlock) {
    const int64_t got = m_read(from, block.data(), kSearchBlock + known - 1);
    if (got < known) break;
    const auto end = block.begin() + got;
    const auto found = std::search(block.begin(), end, head, head + known);
    if (found != end) {
      const int64_t position = from + (found - block.begin());
      m_leftOut = position - stated;
      return position;
    }
  }
  return expected;
}

}  // namespace voxtrellis
