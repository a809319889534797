#include "Shared/Uuid.h"

#include <cstdio>
#include <mutex>
#include <random>

namespace voxtrellis {

std::string makeUuidString() {
  static std::mutex mutex;
  static std::mt19937_64 engine{std::random_device{}()};
  unsigned char bytes[16];
  {
    std::lock_guard lock(mutex);
    for (int i = 0; i < 16; i += 8) {
      const uint64_t value = engine();
      for (int j = 0; j < 8; ++j) bytes[i + j] = static_cast<unsigned char>(value >> (8 * j));
    }
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

}  // namespace voxtrellis
