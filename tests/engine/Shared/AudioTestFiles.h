#pragma once

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
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

// The files tools/fixtures/joined.py makes: parts of their own format joined end to end, three
// seconds each, every second k of the file a tone of 300 + 200 k Hz.
struct JoinedFile {
  std::string name;
  static double toneAt(double seconds) { return 300.0 + 200.0 * std::floor(seconds); }
};
inline const std::vector<JoinedFile>& joinedFiles() {
  static const std::vector<JoinedFile> files{
      {"stereo-then-mono.mp3"}, {"mono-then-stereo.mp3"}, {"44100-then-22050.mp3"}, {"48000-then-8000.mp3"},
      {"48000-then-24000.aac"}, {"44100-then-16000.aac"}, {"48000-then-16000.m4a"}};
  return files;
}

// Raw 32-bit floats, as the fixtures keep what `ffmpeg -ac 1 -ar 16000` makes of each file.
inline std::vector<float> readFloats(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::copy_n(bytes.data(), samples.size() * sizeof(float), reinterpret_cast<char*>(samples.data()));
  return samples;
}

// Where 16 kHz mono `samples` of a joined file differ from the tool's `reference`; empty when
// they are alike: the same length within a tenth of a second, and, tenth of a second by tenth of
// a second in the middle of each second (away from where the tones change, which each codec's
// own delay moves, and from the end), that second's tone at the tool's loudness (or down to 3 dB
// under it: two channels become their mean here, the tool adds them at -3 dB).
inline std::string differenceFromReference(const std::vector<float>& samples, const std::vector<float>& reference,
                                           const JoinedFile& file) {
  constexpr std::size_t rate = 16000, window = rate / 10;
  std::ostringstream out;
  if (std::abs(static_cast<double>(samples.size()) - static_cast<double>(reference.size())) > 0.1 * rate) {
    out << samples.size() << " samples where the tool makes " << reference.size();
    return out.str();
  }
  for (std::size_t from = window; from + 2 * window < reference.size(); from += window) {
    const double seconds = static_cast<double>(from) / rate;
    const double intoTheSecond = seconds - std::floor(seconds + 1e-9);
    if (intoTheSecond < 0.25 || intoTheSecond > 0.65) continue;
    const double loudness = rms(samples, from, from + window), expected = rms(reference, from, from + window);
    const double pitch = risingCrossingsPerSecond(samples, from, from + window, rate);
    const double tone = file.toneAt(seconds + 1e-9);
    const bool loudAsTheTool = loudness > 0.65 * expected - 0.002 && loudness < 1.1 * expected + 0.002;
    if (!loudAsTheTool || std::abs(pitch - tone) > 0.05 * tone) {
      out << "at " << seconds << " s: loudness " << loudness << " where the tool has " << expected << ", pitch "
          << pitch << " Hz where the second has " << tone << " Hz";
      return out.str();
    }
  }
  return {};
}

}  // namespace voxtrellis::test
