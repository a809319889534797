// Converting a 60-minute 44.1 kHz stereo MP3 to 16 kHz mono float, against the
// ffmpeg tool doing the same in the same run. Counter "ratio" = engine / tool;
// below 1 means the engine is faster.
#include <voxtrellis/AudioConverter.h>

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// Made once and kept between runs: encoding an hour of audio takes a while.
fs::path hourLongMp3() {
  return bench::ffmpegMadeFile("hour-44k-stereo.mp3",
                               "-f lavfi -i \"sine=frequency=440:sample_rate=44100:duration=3600\" "
                               "-f lavfi -i \"anoisesrc=color=pink:sample_rate=44100:duration=3600:amplitude=0.05\" "
                               "-filter_complex amerge=inputs=2 -ac 2 -c:a libmp3lame -b:a 128k");
}

void BM_ConvertHourMp3VersusTool(benchmark::State& state) {
  const fs::path file = hourLongMp3();
  if (file.empty()) {
    state.SkipWithError("cannot make the MP3 with the ffmpeg tool");
    return;
  }
  double engineTotal = 0, toolTotal = 0;
  std::size_t samples = 0;
  for (auto _ : state) {
    auto started = std::chrono::steady_clock::now();
    const auto result = voxtrellis::AudioConverter().resampleAudioFile(file);
    const double engine = bench::seconds(started);
    samples = result.size();
    benchmark::DoNotOptimize(result.data());

    started = std::chrono::steady_clock::now();
    const std::string command =
        "ffmpeg -nostdin -loglevel error -i '" + file.string() + "' -ac 1 -ar 16000 -f f32le - > /dev/null";
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("the ffmpeg tool failed");
      return;
    }
    const double tool = bench::seconds(started);
    state.SetIterationTime(engine);
    engineTotal += engine;
    toolTotal += tool;
  }
  state.counters["engine_s"] = engineTotal / static_cast<double>(state.iterations());
  state.counters["tool_s"] = toolTotal / static_cast<double>(state.iterations());
  state.counters["ratio"] = engineTotal / toolTotal;
  state.counters["samples"] = static_cast<double>(samples);
}

BENCHMARK(BM_ConvertHourMp3VersusTool)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
