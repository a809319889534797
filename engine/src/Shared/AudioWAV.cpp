#include <voxtrellis/AudioWAV.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace voxtrellis::AudioWAV {

namespace {

void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void putText(std::vector<uint8_t>& out, const char* text) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(text[i]));
}

uint32_t clampedRate(double rate) {
  if (!std::isfinite(rate) || rate <= 0) return 0;
  if (rate >= 4294967295.0) return 4294967295u;
  return static_cast<uint32_t>(rate);
}

}  // namespace

std::vector<uint8_t> data(const std::vector<float>& samples, double sampleRate) {
  float peak = 0.0f;
  for (float s : samples) peak = std::max(peak, std::fabs(s));
  const uint64_t dataBytes64 = static_cast<uint64_t>(samples.size()) * 2;
  const uint32_t dataBytes = static_cast<uint32_t>(std::min<uint64_t>(dataBytes64, 0xFFFFFFFFu - 36));
  const uint32_t rate = clampedRate(sampleRate);

  std::vector<uint8_t> out;
  out.reserve(44 + static_cast<std::size_t>(dataBytes64));
  putText(out, "RIFF");
  put32(out, dataBytes + 36);
  putText(out, "WAVE");
  putText(out, "fmt ");
  put32(out, 16);
  put16(out, 1);
  put16(out, 1);
  put32(out, rate);
  put32(out, static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(rate) * 2, 0xFFFFFFFFu)));
  put16(out, 2);
  put16(out, 16);
  putText(out, "data");
  put32(out, dataBytes);
  for (float s : samples) {
    const float x = peak > 0.0f ? s / peak : s;
    // NaN compares false everywhere and falls to full scale rather than undefined behaviour.
    const float v = x < 1.0f ? std::max(x, -1.0f) * 32767.0f : 32767.0f;
    put16(out, static_cast<uint16_t>(static_cast<int16_t>(std::isnan(v) ? 0.0f : v)));
  }
  return out;
}

}  // namespace voxtrellis::AudioWAV
