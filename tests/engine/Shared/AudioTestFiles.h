#pragma once

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace voxtrellis::test {

// Makes a tone file with the ffmpeg tool; returns false when the tool fails.
inline bool makeTone(const std::filesystem::path& out, double seconds, int rate = 44100, int channels = 2,
                     int frequency = 440, const std::string& codecArgs = "") {
  const std::string command =
      "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i sine=frequency=" + std::to_string(frequency) +
      ":sample_rate=" + std::to_string(rate) + ":duration=" + std::to_string(seconds) + " -ac " +
      std::to_string(channels) + " " + codecArgs + " '" + out.string() + "'";
  return std::system(command.c_str()) == 0;
}

// Zero crossings from negative to non-negative per second over a stretch.
inline double risingCrossingsPerSecond(const std::vector<float>& samples, std::size_t from, std::size_t to,
                                       double rate) {
  int crossings = 0;
  for (std::size_t i = from + 1; i < to && i < samples.size(); ++i) {
    if (samples[i - 1] < 0.0f && samples[i] >= 0.0f) ++crossings;
  }
  return crossings / (static_cast<double>(to - from) / rate);
}

inline float rms(const std::vector<float>& samples, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < to && i < samples.size(); ++i) sum += double(samples[i]) * samples[i];
  return static_cast<float>(std::sqrt(sum / double(to - from)));
}

}  // namespace voxtrellis::test
