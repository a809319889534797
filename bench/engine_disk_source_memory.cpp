// Peak resident memory of building a disk-backed sample source from a 2-hour
// file, beyond the process's baseline. Counter "peak_over_baseline_MB"; the
// aim is under 64 MB.
#include <voxtrellis/StreamingAudioSampleSource.h>

#include "Shared/SystemInfo.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

fs::path benchFolder() {
  const char* tmp = std::getenv("TMPDIR");
  fs::path folder = fs::path(tmp && *tmp ? tmp : "/tmp") / "voxtrellis-bench";
  fs::create_directories(folder);
  return folder;
}

// Two hours of 44.1 kHz stereo MP3, made once and kept between runs.
fs::path twoHourMp3() {
  const fs::path file = benchFolder() / "two-hours-44k-stereo.mp3";
  if (!fs::exists(file)) {
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i \"sine=frequency=330:sample_rate=44100:duration=7200\" "
        "-ac 2 -c:a libmp3lame -b:a 96k '" +
        file.string() + ".part.mp3' && mv '" + file.string() + ".part.mp3' '" + file.string() + "'";
    if (std::system(command.c_str()) != 0) return {};
  }
  return file;
}

// Lets VmHWM start again from the current resident size.
void resetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

void BM_DiskBackedSourceTwoHours(benchmark::State& state) {
  const fs::path file = twoHourMp3();
  if (file.empty()) {
    state.SkipWithError("cannot make the MP3 with the ffmpeg tool");
    return;
  }
  double worst = 0;
  int64_t samples = 0;
  for (auto _ : state) {
    resetPeak();
    const uint64_t baseline = voxtrellis::SystemInfo::currentResidentMemoryBytes().value_or(0);
    auto result = voxtrellis::StreamingAudioSourceFactory().makeDiskBackedSource(file, 16000);
    const uint64_t peak = voxtrellis::SystemInfo::peakResidentMemoryBytes().value_or(0);
    samples = result.source.sampleCount();
    result.source.cleanup();
    worst = std::max(worst, static_cast<double>(peak - baseline) / (1024.0 * 1024.0));
  }
  state.counters["peak_over_baseline_MB"] = worst;
  state.counters["samples"] = static_cast<double>(samples);
}

BENCHMARK(BM_DiskBackedSourceTwoHours)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
