// Host-side cost of the whole offline diarization pipeline per hour of audio,
// with the generated test models (whose own inference is nearly free, so the
// figure is the engine's own work: windowing, decoding, masks, clustering,
// reconstruction and the thread hand-over).
#include "BenchSupport.h"
#include "Diarizer/Offline/Core/OfflineDiarizerModels.h"

#include <voxtrellis/OfflineDiarizerManager.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>

using namespace voxtrellis;

namespace {

// Two tone "voices" taking turns of 4 to 9 seconds with pauses.
std::vector<float> conversation(double seconds) {
  std::vector<float> audio(static_cast<std::size_t>(seconds * 16000), 0.0f);
  double t = 0;
  int turn = 0;
  while (t < seconds) {
    const double length = 4.0 + (turn * 7 % 6);
    const double frequency = turn % 2 == 0 ? 400.0 : 1600.0;
    const auto first = static_cast<std::size_t>(t * 16000);
    const auto last = std::min(audio.size(), static_cast<std::size_t>((t + length) * 16000));
    for (std::size_t i = first; i < last; ++i) {
      audio[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * frequency * static_cast<double>(i) / 16000));
    }
    t += length + 1.0;
    ++turn;
  }
  return audio;
}

void BM_PipelinePerHour(benchmark::State& state) {
  const double minutes = static_cast<double>(state.range(0));
  const auto models = std::make_shared<const OfflineDiarizerModels>(
      OfflineDiarizerModels::load(std::filesystem::path(PV_FIXTURES_DIR) / "diarizer"));
  OfflineDiarizerManager manager;
  manager.initialize(models);
  const auto audio = conversation(minutes * 60);
  std::size_t segments = 0;
  double wall = 0;
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    const auto result = manager.process(audio);
    wall = bench::seconds(started);
    segments = result.segments.size();
    state.counters["segmentation_s"] = result.timings->segmentationSeconds();
    state.counters["embedding_s"] = result.timings->embeddingExtractionSeconds();
    state.counters["clustering_s"] = result.timings->speakerClusteringSeconds();
  }
  state.counters["segments"] = static_cast<double>(segments);
  state.counters["peak_MiB"] = bench::peakMiB();
  // Wall seconds per hour of audio.
  state.counters["s_per_audio_hour"] = wall * 60.0 / minutes;
}

}  // namespace

BENCHMARK(BM_PipelinePerHour)->Arg(10)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
