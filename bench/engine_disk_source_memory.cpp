// Peak resident memory of building a disk-backed sample source from a 2-hour
// file, beyond the process's baseline. Counter "peak_over_baseline_MB"; the
// aim is under 64 MB.
#include <voxtrellis/StreamingAudioSampleSource.h>

#include "BenchSupport.h"
#include "Shared/SystemInfo.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// Two hours of 44.1 kHz stereo MP3, made once and kept between runs.
fs::path twoHourMp3() {
  return bench::ffmpegMadeFile("two-hours-44k-stereo.mp3",
                               "-f lavfi -i \"sine=frequency=330:sample_rate=44100:duration=7200\" "
                               "-ac 2 -c:a libmp3lame -b:a 96k");
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
    bench::resetPeak();
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
