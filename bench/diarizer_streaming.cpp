// Costs of the chunked (streaming) diarizer: one speaker assignment against
// a database of 1,000 speakers, and the host-side cost of the whole chunked
// path per hour of audio, with the generated test models (whose own
// inference is timed separately and taken out).
#include <voxtrellis/DiarizerManager.h>
#include <voxtrellis/SpeakerManager.h>

#include "Diarizer/Extraction/WeSpeakerEmbeddingModel.h"
#include "Diarizer/Segmentation/PyannoteSegmentationModel.h"
#include "Shared/ANEMemoryOptimizer.h"
#include "engine/Diarizer/StreamingDiarizerTestSupport.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <random>

using namespace voxtrellis;

namespace {

std::vector<float> randomUnit(std::mt19937_64& generator) {
  std::normal_distribution<float> normal;
  std::vector<float> v(256);
  double sum = 0;
  for (auto& x : v) {
    x = normal(generator);
    sum += double(x) * x;
  }
  for (auto& x : v) x = static_cast<float>(x / std::sqrt(sum));
  return v;
}

void BM_AssignSpeaker(benchmark::State& state) {
  const auto speakers = static_cast<int>(state.range(0));
  std::mt19937_64 generator(7);
  SpeakerManager database(0.84f, 0.56f, 1.0f, 2.0f);
  std::vector<std::vector<float>> voices;
  for (int i = 0; i < speakers; ++i) {
    voices.push_back(randomUnit(generator));
    database.upsertSpeaker(std::to_string(i + 1), voices.back(), 10.0f);
  }
  // Each probe is a known voice with noise: a match that refines the speaker,
  // the diarizer's common case.
  std::vector<std::vector<float>> probes;
  std::normal_distribution<float> noise(0.0f, 0.02f);
  for (int i = 0; i < 256; ++i) {
    auto p = voices[static_cast<std::size_t>(i * 37) % voices.size()];
    for (auto& x : p) x += noise(generator);
    probes.push_back(std::move(p));
  }
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(database.assignSpeaker(probes[i++ % probes.size()], 2.0f));
  }
  state.counters["speakers"] = database.speakerCount();
}
BENCHMARK(BM_AssignSpeaker)->Arg(250)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The scan alone: the closest of 1,000 speakers, nothing changed.
void BM_FindSpeaker(benchmark::State& state) {
  std::mt19937_64 generator(11);
  SpeakerManager database(0.84f, 0.56f, 1.0f, 2.0f);
  for (int i = 0; i < state.range(0); ++i) database.upsertSpeaker(std::to_string(i + 1), randomUnit(generator), 10.0f);
  const auto probe = randomUnit(generator);
  for (auto _ : state) benchmark::DoNotOptimize(database.findSpeaker(probe));
}
BENCHMARK(BM_FindSpeaker)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Two voices taking turns for `seconds`.
std::vector<float> conversation(int seconds) {
  auto audio = streamtest::silence(seconds);
  for (int t = 0; t + 10 <= seconds; t += 10) {
    streamtest::addTone(audio, streamtest::kVoiceA, t + 0.5, t + 4.5);
    streamtest::addTone(audio, streamtest::kVoiceB, t + 5, t + 9.5);
  }
  return audio;
}

// Seconds the two models alone take for `chunks` windows with two voiced
// slots each, as the diarizer calls them.
double modelSeconds(const DiarizerModels& models, int chunks) {
  ANEMemoryOptimizer pool;
  auto audio = pool.createAlignedArray({1, 1, 160000}, MLMultiArrayDataType::float32);
  auto waveform = pool.createAlignedArray({3, 160000}, MLMultiArrayDataType::float32);
  auto mask = pool.createAlignedArray({3, 589}, MLMultiArrayDataType::float32);
  const auto start = std::chrono::steady_clock::now();
  for (int c = 0; c < chunks; ++c) {
    benchmark::DoNotOptimize(models.segmentationModel->predict(audio));
    for (int slot = 0; slot < 2; ++slot) benchmark::DoNotOptimize(models.embeddingModel->predict(waveform, mask));
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_ChunkedPathPerAudioHour(benchmark::State& state) {
  const int seconds = 600;  // ten minutes per run, scaled to an hour
  const auto audio = conversation(seconds);
  const auto models = streamtest::loadModels();
  DiarizerManager diarizer;
  diarizer.initialize(models);
  double total = 0;
  int runs = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(diarizer.performCompleteDiarization(audio));
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++runs;
  }
  const double perHour = 3600.0 / seconds;
  const double models_ = modelSeconds(models, seconds / 10);
  state.counters["total_s_per_audio_hour"] = total / runs * perHour;
  state.counters["model_s_per_audio_hour"] = models_ * perHour;
  state.counters["host_s_per_audio_hour"] = (total / runs - models_) * perHour;
  state.counters["speakers"] = diarizer.speakerManager().speakerCount();
}
BENCHMARK(BM_ChunkedPathPerAudioHour)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
