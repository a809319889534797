#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
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

// Makes `out` with the ffmpeg tool from `arguments` (its inputs and codec, quoted for a shell);
// returns false when the tool fails.
inline bool ffmpegMake(const std::filesystem::path& out, const std::string& arguments) {
  const std::string command =
      "ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments + " '" + out.string() + "'";
  return std::system(command.c_str()) == 0;
}

// The lavfi source of `seconds` of noise (pink, below 3 kHz, from `seed`), no stretch of which
// resembles another: a tenth of a second of it is found in the file to the sample.
inline std::string noiseSource(double seconds, int rate = 44100, int seed = 7) {
  return "anoisesrc=c=pink:seed=" + std::to_string(seed) + ":r=" + std::to_string(rate) +
         ":a=0.3:d=" + std::to_string(seconds) + ",lowpass=f=3000";
}

// Where the frames of an ADTS AAC file start, read by their headers' lengths up to the first that
// is none.
inline std::vector<std::size_t> adtsFrames(const std::string& bytes) {
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at + 7 <= bytes.size();) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const std::size_t length = ((byte(3) & 0x03u) << 11) | (byte(4) << 3) | (byte(5) >> 5);
    if (byte(0) != 0xFF || (byte(1) & 0xF6) != 0xF0 || length < 7) break;
    starts.push_back(at);
    at += length;
  }
  return starts;
}

// `bytes` of an ADTS AAC file with the frame-length field of the header at `header` set to
// `length`: 0 makes a header the reader cannot step over, 8191 one whose packet swallows the
// frames after it.
inline std::string withAdtsFrameLength(std::string bytes, std::size_t header, unsigned length) {
  if (header + 7 > bytes.size()) return bytes;
  bytes[header + 3] = char((bytes[header + 3] & 0xFC) | ((length >> 11) & 0x03));
  bytes[header + 4] = char((length >> 3) & 0xFF);
  bytes[header + 5] = char((bytes[header + 5] & 0x1F) | ((length & 0x07) << 5));
  return bytes;
}

// `bytes` of an ADTS AAC file (stereo, AAC LC, as FFmpeg's encoder writes it) with the global gain
// of the first channel of the frame at `header` raised by 64 steps (2^16 times the amplitude):
// damage the decoder takes without an error and decodes to far past full scale.
inline std::string withAdtsGainRaised(std::string bytes, std::size_t header) {
  std::size_t bit = (header + ((bytes[header + 1] & 0x01) ? 7 : 9)) * 8;
  const auto read = [&](int count) {
    unsigned value = 0;
    for (int i = 0; i < count; ++i, ++bit)
      value = value << 1 | ((static_cast<unsigned char>(bytes[bit / 8]) >> (7 - bit % 8)) & 1u);
    return value;
  };
  read(7);        // the element's kind and tag
  if (read(1)) {  // a window common to both channels, described before the first
    read(1);
    const unsigned sequence = read(2);
    read(1);
    const unsigned bands = read(sequence == 2 ? 4 : 6);
    read(sequence == 2 ? 7 : 1);
    if (read(2) == 1) read(int(sequence == 2 ? 0 : bands));  // mid/side per band
  }
  const std::size_t gainAt = bit;
  const unsigned gain = std::min(255u, read(8) + 64);
  for (int i = 0; i < 8; ++i) {
    const std::size_t at = gainAt + std::size_t(i);
    const auto mask = char(0x80 >> (at % 8));
    bytes[at / 8] = char((gain >> (7 - i)) & 1u ? bytes[at / 8] | mask : bytes[at / 8] & ~mask);
  }
  return bytes;
}

// Hostile files the damaged-file fuzz found, made from a file the ffmpeg tool made, or from
// nothing. `seconds` of a stereo 44.1 kHz WAV whose LIST chunk states 1,308,622,874 bytes, and
// the tag inside it 1.2 GB: FFmpeg's reader of it would zero that much before it finds no more.
inline std::string wavWithAHugeTag(double seconds = 0.5) {
  std::string body = "WAVEfmt ";
  const auto put = [&](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) body += char((value >> (8 * i)) & 0xFF);
  };
  put(16, 4);
  put(1, 2);
  put(2, 2);
  put(44100, 4);
  put(44100 * 4, 4);
  put(4, 2);
  put(16, 2);
  body += "LIST";
  put(1308622874u, 4);
  body += "INFOISFT";
  put(1200000000u, 4);
  body += std::string("Lavf59.27.100") + '\0';
  const auto frames = int64_t(seconds * 44100);
  body += "data";
  put(uint64_t(frames) * 4, 4);
  for (int64_t i = 0; i < frames * 2; ++i) put(uint16_t(int16_t(8000 * std::sin(double(i) * 0.03))), 2);
  std::string wav = "RIFF";
  for (int i = 0; i < 4; ++i) wav += char((body.size() >> (8 * i)) & 0xFF);
  return wav + body;
}

// An ALAC CAF's magic cookie with the frame length its configuration states changed (the
// big-endian count after the configuration atom's size, name and version).
inline std::string alacStatingFrameLength(std::string caf, uint32_t frames) {
  const std::size_t config =
      caf.find(std::string("\0\0\0\x24"
                           "alac",
                           8));
  if (config == std::string::npos) return {};
  for (int i = 0; i < 4; ++i) caf[config + 12 + std::size_t(i)] = char(frames >> (8 * (3 - i)));
  return caf;
}

// An ALAC CAF of `packets` packets of 4 zero bytes each, stated in its packet table, with the
// description, channels and magic cookie (its frame length `frames`) of `caf`: each packet, an
// element whose samples the decoder looks for in bytes it has not got, fails to decode.
inline std::string alacOfTinyPackets(const std::string& caf, uint32_t frames, int packets) {
  const auto chunkOf = [&](const std::string& tag) {
    const std::size_t at = caf.find(tag);
    uint64_t size = 0;
    for (int i = 0; i < 8; ++i) size = size << 8 | uint8_t(caf[at + 4 + std::size_t(i)]);
    return caf.substr(at, 12 + size);
  };
  const auto chunk = [](const std::string& tag, const std::string& payload) {
    std::string out = tag;
    for (int i = 7; i >= 0; --i) out += char((uint64_t(payload.size()) >> (8 * i)) & 0xFF);
    return out + payload;
  };
  std::string table;
  for (const uint64_t count : {uint64_t(packets), uint64_t(packets) * 4096}) {
    for (int i = 7; i >= 0; --i) table += char((count >> (8 * i)) & 0xFF);
  }
  table += std::string(8, '\0') + std::string(std::size_t(packets), '\x04');
  return caf.substr(0, 8) + chunkOf("desc") + chunkOf("chan") + alacStatingFrameLength(chunkOf("kuki"), frames) +
         chunk("data", std::string(4 + 4 * std::size_t(packets), '\0')) + chunk("pakt", table);
}

// A CAF file's header description with its rate or its frames per packet changed (big-endian: a
// double, and 32-bit counts after the format's tag, flags and bytes per packet).
inline std::string cafStating(std::string caf, std::optional<double> rate, std::optional<uint32_t> framesPerPacket) {
  const std::size_t description = caf.find("desc") + 12;
  const auto put = [&](std::size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) caf[at + std::size_t(i)] = char(value >> (8 * (bytes - 1 - i)));
  };
  if (rate) {
    uint64_t bits = 0;
    std::memcpy(&bits, &*rate, sizeof bits);
    put(description, bits, 8);
  }
  if (framesPerPacket) put(description + 20, *framesPerPacket, 4);
  return caf;
}

// A FLAC file whose stream description states `rate` (its frames keep their own).
inline std::string flacStatingRate(std::string flac, unsigned rate) {
  // After "fLaC" and the block's 4-byte header, the rate is 20 bits at the description's 11th byte.
  flac[18] = char(rate >> 12);
  flac[19] = char(rate >> 4);
  flac[20] = char((flac[20] & 0x0F) | ((rate & 0x0F) << 4));
  return flac;
}

// Where a FLAC file's first frame starts: past "fLaC" and its metadata blocks, the last of which
// has the top bit of its header's first byte set.
inline std::size_t flacFirstFrame(const std::string& flac) {
  std::size_t at = 4;
  for (bool last = false; !last && at + 4 <= flac.size();) {
    const auto byte = [&](std::size_t i) { return std::size_t(static_cast<unsigned char>(flac[at + i])); };
    last = (byte(0) & 0x80) != 0;
    at += 4 + (byte(1) << 16 | byte(2) << 8 | byte(3));
  }
  return at;
}

// A FLAC file with its last `bytes` bytes copied in front of its first frame, as a copy written
// past the end of the header's padding leaves them: the end of a frame, then the file's last
// frame whole, numbered near the file's end.
inline std::string flacWithItsEndBeforeItsFrames(const std::string& flac, std::size_t bytes) {
  const std::size_t first = flacFirstFrame(flac);
  return flac.substr(0, first) + flac.substr(flac.size() - bytes) + flac.substr(first);
}

// An M4A file whose media header states the time scale `scale` (big-endian, after "mdhd", its
// version and flags, and the two times of version 0).
inline std::string withMediaTimeScale(std::string m4a, uint32_t scale) {
  const std::size_t at = m4a.find("mdhd") + 16;
  for (int i = 0; i < 4; ++i) m4a[at + std::size_t(i)] = char(scale >> (8 * (3 - i)));
  return m4a;
}

// `bytes` of an ADTS AAC file with the frame at `header` made a header FFmpeg's ADTS reader takes
// and its parser does not (a rate no ADTS header states), of a frame running on to `end`, and the
// rest of that frame zeroed: the reader takes up to `end` as one packet and steps over the bytes
// from there to the next header, and the parser, which found the frames inside that packet, joins
// what lies on either side of the bytes stepped over.
inline std::string withAdtsHeaderOnlyTheReaderTakes(std::string bytes, std::size_t header, std::size_t end) {
  const auto byte = [&](std::size_t i) { return std::size_t(static_cast<unsigned char>(bytes[header + i])); };
  const std::size_t own = (byte(3) & 0x03) << 11 | byte(4) << 3 | byte(5) >> 5;
  if (own < 7 || header + own > bytes.size() || end <= header + own || end - header > 8191) return {};
  bytes.replace(header + 7, own - 7, own - 7, '\0');
  bytes[header + 2] = char((bytes[header + 2] & 0xC3) | (15 << 2));
  return withAdtsFrameLength(bytes, header, unsigned(end - header));
}

// The header of the first ADTS frame at or past `fraction` of the file's bytes (read from its
// start: before any damage); the file's size when there is none.
inline std::size_t adtsHeaderPast(const std::string& bytes, double fraction) {
  for (const std::size_t header : adtsFrames(bytes)) {
    if (double(header) >= fraction * double(bytes.size())) return header;
  }
  return bytes.size();
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

// Seconds of the sound of `whole` (noise, at `rate`) lost in `damaged`: what it lacks, and the
// silence standing for what was lost (noise is never silent for 10 ms; what `whole` holds of it,
// an encoder's priming, is no loss).
inline double lostSeconds(const std::vector<float>& whole, const std::vector<float>& damaged, std::size_t rate) {
  const auto silence = [rate](const std::vector<float>& samples) {
    double seconds = 0;
    for (std::size_t from = 0; from + rate / 100 <= samples.size(); from += rate / 100) {
      if (rms(samples, from, from + rate / 100) < 1e-4f) seconds += 0.01;
    }
    return seconds;
  };
  return (double(whole.size()) - double(damaged.size())) / double(rate) + silence(damaged) - silence(whole);
}

// Where `length` samples from `what` lie in `in`, searched from sample `from` to `to`: the first
// sample of the best match, and how well it matches (1 for the same sound, 0 when nothing fits).
struct Match {
  std::size_t at = 0;
  double likeness = 0;
};
inline Match bestMatch(const std::vector<float>& in, const float* what, std::size_t length, std::size_t from,
                       std::size_t to) {
  double whatEnergy = 0;
  for (std::size_t i = 0; i < length; ++i) whatEnergy += double(what[i]) * what[i];
  Match best;
  for (std::size_t at = from; at < to && at + length <= in.size(); ++at) {
    double product = 0, energy = 0;
    for (std::size_t i = 0; i < length; ++i) {
      product += double(in[at + i]) * what[i];
      energy += double(in[at + i]) * in[at + i];
    }
    const double likeness = product / std::sqrt(energy * whatEnergy + 1e-12);
    if (likeness > best.likeness) best = {at, likeness};
  }
  return best;
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
