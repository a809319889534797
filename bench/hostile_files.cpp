// Hostile files of a few hundred kilobytes that the damaged-file fuzz found, as the application
// takes them (audio-fuzz's look at a file: the loader's load, the player's decoder opening it,
// two seeks and the whole of it played): a WAV whose tag chunk states 1.3 GB (huge-tag), and six
// minutes of such a WAV, 63 MB (long-huge-tag), an ALAC CAF whose header states 16.6 million
// samples a frame (huge-frames), ones whose description states 118 Hz (slow-stamps) or a billion
// frames per packet (huge-packets), their first packet damaged, ALAC CAFs of 20 000 and 100 000
// packets of 4 bytes that all fail to decode (tiny-packets), and the undamaged ALAC CAF they come
// from (whole), each in a child process of its own. "peak_mib": the most memory that process
// held; the time: wall clock, one look. The aim: memory and time in proportion to the file's
// size, not to what its header states.
// Measured on 8 busy cores (load about 15), one look each, before the bounds -> after:
//   whole.caf           395 kB    29 ms,  27 MiB ->    29 ms,  28 MiB
//   huge-tag.wav          88 kB  2209 ms, 1167 MiB ->     5 ms,  23 MiB
//   huge-frames.caf     395 kB  9100 ms, 155 MiB ->    15 ms,  29 MiB
//   slow-stamps.caf     395 kB    37 ms,  28 MiB ->    27 ms,  27 MiB (the loader 2.9 s, the player
//                                                                   37.6 s -> both 2.9 s)
//   huge-packets.caf    395 kB   113 ms,  28 MiB ->    26 ms,  28 MiB
//   tiny-packets-20k    100 kB 21620 ms,  29 MiB ->    62 ms,  29 MiB
//   tiny-packets-100k   500 kB   110 s,   30 MiB ->   106 ms,  31 MiB
// With the bound following the size of an M4A or CAF open (long M4A files load), on 8 cores under
// a load of 30 to 50 (the times are the machine's), with a bound of 128 MB for every file ->
// following an M4A's or CAF's size:
//   whole.caf           395 kB   260 ms,  28 MiB ->    89 ms,  28 MiB
//   huge-tag.wav          88 kB   138 ms,  23 MiB ->    36 ms,  23 MiB
//   long-huge-tag.wav     63 MB   281 ms,  25 MiB ->    45 ms,  25 MiB (following every file's
//                                                            size: 1167 MiB, not done in 120 s)
//   huge-frames.caf     395 kB   494 ms,  29 MiB ->   324 ms,  29 MiB
//   slow-stamps.caf     395 kB   282 ms,  28 MiB ->    70 ms,  28 MiB
//   huge-packets.caf    395 kB   425 ms,  28 MiB ->    74 ms,  28 MiB
//   tiny-packets-20k    100 kB   828 ms,  30 MiB ->   108 ms,  30 MiB
//   tiny-packets-100k   500 kB   354 ms,  31 MiB ->   176 ms,  31 MiB

#include "BenchSupport.h"
#include "VariantCheck.h"
#include "engine/Shared/AudioTestFiles.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// The hostile file `name`, made once from the undamaged ALAC CAF by `make`.
fs::path hostileFile(const std::string& name, const std::function<std::string(const std::string&)>& make) {
  const fs::path whole = bench::ffmpegMadeFile(
      "hostile-alac.caf", "-f lavfi -i '" + voxtrellis::test::noiseSource(3) + "' -ac 2 -c:a alac");
  if (whole.empty()) return {};
  const fs::path file = bench::benchFolder() / ("hostile-" + name);
  std::ifstream in(whole, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::ofstream(file, std::ios::binary) << make(bytes);
  return file;
}

// Looks at `file` in a child process of its own, as the fuzz does: a fresh process, whose
// allocator has not yet taken to keeping large blocks. The most memory it held, in MiB.
double lookApart(const fs::path& file) {
  const pid_t child = ::fork();
  if (child == 0) {
    audiofuzz::examine(file, 3.0, 360);
    ::_exit(0);
  }
  int status = 0;
  rusage usage{};
  while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  return double(usage.ru_maxrss) / 1024;
}

void BM_LookAt(benchmark::State& state, const std::string& name,
               const std::function<std::string(const std::string&)>& make) {
  const fs::path file = hostileFile(name, make);
  if (file.empty()) {
    state.SkipWithError("cannot make the file with the ffmpeg tool");
    return;
  }
  double peak = 0;
  for (auto _ : state) peak = std::max(peak, lookApart(file));
  state.counters["peak_mib"] = peak;
  state.counters["file_kb"] = double(fs::file_size(file)) / 1000;
}

const bool registered = [] {
  using namespace voxtrellis::test;
  const std::pair<std::string, std::function<std::string(const std::string&)>> files[] = {
      {"whole.caf", [](const std::string& caf) { return caf; }},
      {"huge-tag.wav", [](const std::string&) { return wavWithAHugeTag(); }},
      {"long-huge-tag.wav", [](const std::string&) { return wavWithAHugeTag(360); }},
      {"huge-frames.caf", [](const std::string& caf) { return alacStatingFrameLength(caf, 0xFE1000); }},
      {"slow-stamps.caf",
       [](const std::string& caf) {
         std::string slow = cafStating(caf, 118, std::nullopt);
         return slow.replace(caf.find("data") + 16, 64, 64, '\xff');
       }},
      {"huge-packets.caf",
       [](const std::string& caf) {
         std::string huge = cafStating(caf, std::nullopt, 0x40001000);
         return huge.replace(caf.find("data") + 16, 64, 64, '\xff');
       }},
      {"tiny-packets-20k.caf", [](const std::string& caf) { return alacOfTinyPackets(caf, 1 << 18, 20000); }},
      {"tiny-packets-100k.caf", [](const std::string& caf) { return alacOfTinyPackets(caf, 1 << 18, 100000); }}};
  for (const auto& [name, make] : files) {
    benchmark::RegisterBenchmark(("BM_LookAt/" + name).c_str(), BM_LookAt, name, make)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
