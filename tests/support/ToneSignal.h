#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

namespace testsupport {

// Test audio at 16 kHz, the rate the engine works at.
constexpr int kToneSignalRate = 16000;

inline std::vector<float> silence(double seconds) {
  return std::vector<float>(static_cast<std::size_t>(seconds * kToneSignalRate), 0.0f);
}

// Adds a tone of the given frequency over [start, end) seconds (cut at the end of `audio`).
inline void addTone(std::vector<float>& audio, double frequency, double start, double end, float amplitude = 0.3f) {
  constexpr double rate = kToneSignalRate;
  const auto first = static_cast<std::size_t>(start * rate);
  const auto last = std::min(audio.size(), static_cast<std::size_t>(end * rate));
  for (std::size_t i = first; i < last; ++i) {
    audio[i] += amplitude * static_cast<float>(std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / rate));
  }
}

// Sound in regions one second long, region k a tone of 300 + 200 k Hz: what is heard tells from
// where in the file it comes. Up to twelve regions, all well below the 4 kHz a recording at
// 8 kHz holds.
namespace RegionTones {

constexpr double kFirstHz = 300, kStepHz = 200;
constexpr int kMostRegions = 12;
constexpr int kBlockMs = 50;  // what one reading of a recording covers
constexpr int kSilent = -1, kUnclear = -2;

inline double frequency(int region) {
  return kFirstHz + kStepHz * region;
}

// The amplitude of the tone of `hz` in `count` samples at `rate` (the Goertzel filter's bin).
inline double toneAmplitude(const float* samples, std::size_t count, double hz, double rate) {
  const double coefficient = 2.0 * std::cos(2.0 * M_PI * hz / rate);
  double previous = 0, beforePrevious = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double current = samples[i] + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
  }
  const double power = previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
  return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(count);
}

struct Block {
  int region = kSilent;  // or kSilent, kUnclear
  double amplitude = 0;  // of the region's tone
};

// What a recording at `rate` holds, block by block: the region whose tone makes up the block,
// kSilent for a block without sound, kUnclear for one of mixed or other sound (a change of
// region, the edge of a start or a stop).
inline std::vector<Block> regionsHeard(const std::vector<float>& recording, double rate) {
  const auto blockSize = static_cast<std::size_t>(rate * kBlockMs / 1000);
  std::vector<Block> blocks;
  for (std::size_t from = 0; from + blockSize <= recording.size(); from += blockSize) {
    const float* block = recording.data() + from;
    double square = 0;
    for (std::size_t i = 0; i < blockSize; ++i) square += double(block[i]) * block[i];
    const double rms = std::sqrt(square / static_cast<double>(blockSize));
    Block heard;
    if (rms >= 0.01) {
      heard.region = kUnclear;
      for (int region = 0; region < kMostRegions; ++region) {
        const double amplitude = toneAmplitude(block, blockSize, frequency(region), rate);
        if (amplitude / std::sqrt(2.0) >= 0.85 * rms && amplitude > heard.amplitude) {
          heard = Block{region, amplitude};
        }
      }
    }
    blocks.push_back(heard);
  }
  return blocks;
}

// The first region heard from block `from` on, kSilent when none is.
inline int firstRegion(const std::vector<Block>& blocks, std::size_t from = 0) {
  for (std::size_t i = from; i < blocks.size(); ++i) {
    if (blocks[i].region >= 0) return blocks[i].region;
  }
  return kSilent;
}

// Seconds from the first block to the one from which `region` is heard for a fifth of a second
// on end (a codec's delay moves where a tone begins); -1 when it never is.
inline double startOf(const std::vector<Block>& blocks, int region) {
  constexpr std::size_t kSteady = 200 / kBlockMs;
  for (std::size_t i = 0; i + kSteady <= blocks.size(); ++i) {
    if (std::all_of(blocks.begin() + static_cast<std::ptrdiff_t>(i),
                    blocks.begin() + static_cast<std::ptrdiff_t>(i + kSteady),
                    [region](const Block& block) { return block.region == region; })) {
      return static_cast<double>(i * kBlockMs) / 1000.0;
    }
  }
  return -1;
}

// Seconds of `region` heard from block `from` on.
inline double secondsOf(const std::vector<Block>& blocks, int region, std::size_t from = 0) {
  const auto count = std::count_if(blocks.begin() + static_cast<std::ptrdiff_t>(std::min(from, blocks.size())),
                                   blocks.end(), [region](const Block& block) { return block.region == region; });
  return static_cast<double>(count * kBlockMs) / 1000.0;
}

// The regions heard from block `from` on, in order, each once per stretch: "5 6", "0".
inline std::string sequence(const std::vector<Block>& blocks, std::size_t from = 0) {
  std::string text;
  int last = kSilent;
  for (std::size_t i = from; i < blocks.size(); ++i) {
    if (blocks[i].region < 0 || blocks[i].region == last) continue;
    last = blocks[i].region;
    text += (text.empty() ? "" : " ") + std::to_string(last);
  }
  return text;
}

}  // namespace RegionTones

}  // namespace testsupport
