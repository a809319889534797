// Host-side cost of the streaming recognisers with the generated test models
// (whose model calls are nearly free, so the figures are an upper bound of
// the work around the model calls), and the latency from the end of speech
// to the end-of-utterance callback. Counters: rtf = processing seconds per
// second of audio; eou_audio_ms = silence fed after the last speech until the
// callback; eou_compute_ms = processing time spent on that silence.
#include <voxtrellis/NeMoMelSpectrogram.h>
#include <voxtrellis/StreamingAsrManager.h>
#include <voxtrellis/StreamingEouAsrManager.h>

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <random>

using namespace voxtrellis;
namespace fs = std::filesystem;

namespace {

const fs::path kFixtures = PV_FIXTURES_DIR;

std::vector<float> noise(std::size_t count, float sigma) {
  std::mt19937 random(5);
  std::normal_distribution<float> gaussian(0.0f, sigma);
  std::vector<float> out(count);
  for (float& s : out) s = gaussian(random);
  return out;
}

AudioPCMBuffer buffer(const float* data, std::size_t count) {
  return AudioPCMBuffer::fromChannels(16000.0, {std::vector<float>(data, data + count)});
}

void BM_MelFrontEndPerChunk(benchmark::State& state) {
  NeMoMelSpectrogram mel;
  const std::vector<float> chunk = noise(2560, 0.1f);
  for (auto _ : state) benchmark::DoNotOptimize(mel.computeFlat(chunk));
  // One ms160 chunk advances the stream by 80 ms.
  state.counters["rtf"] =
      benchmark::Counter(0.08, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MelFrontEndPerChunk);

void BM_EouStreamMinute(benchmark::State& state) {
  StreamingEouAsrManager asr(AsrModelConfiguration{ComputeUnits::cpuOnly});
  asr.loadModels(kFixtures / "streaming" / "eou" / "160ms");
  const std::vector<float> audio = noise(60 * 16000, 0.05f);
  for (auto _ : state) {
    asr.reset();
    for (std::size_t at = 0; at < audio.size(); at += 1280) asr.process(buffer(audio.data() + at, 1280));
    benchmark::DoNotOptimize(asr.finish());
  }
  state.counters["rtf"] =
      benchmark::Counter(60.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EouStreamMinute)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EouLatency(benchmark::State& state) {
  StreamingEouAsrManager asr(AsrModelConfiguration{ComputeUnits::cpuOnly});
  asr.loadModels(kFixtures / "streaming" / "eou" / "160ms");
  bool ended = false;
  asr.setEouCallback([&](const std::string&) { ended = true; });
  const std::vector<float> speech = noise(16000, 0.05f);
  const std::vector<float> silence(1280, 0.0f);
  double audioMs = 0;
  double computeMs = 0;
  for (auto _ : state) {
    asr.reset();
    ended = false;
    for (std::size_t at = 0; at < speech.size(); at += 1280) asr.process(buffer(speech.data() + at, 1280));
    int blocks = 0;
    const auto started = std::chrono::steady_clock::now();
    while (!ended && blocks < 1000) {
      asr.process(buffer(silence.data(), silence.size()));
      ++blocks;
    }
    computeMs += bench::seconds(started) * 1000;
    audioMs += blocks * 80.0;
  }
  state.counters["eou_audio_ms"] = audioMs / static_cast<double>(state.iterations());
  state.counters["eou_compute_ms"] = computeMs / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EouLatency)->Unit(benchmark::kMillisecond)->UseRealTime();

// Argument 0: the default preset; 1: the streaming preset.
void BM_SlidingWindowMinute(benchmark::State& state) {
  const AsrModels models = AsrModels::load(kFixtures / "asr" / "parakeet-tdt-0.6b-v3-onnx",
                                           AsrModelConfiguration{ComputeUnits::cpuOnly}, AsrModelVersion::v3);
  const std::vector<float> audio(60 * 16000, 0.0f);
  const StreamingAsrConfig config =
      state.range(0) == 0 ? StreamingAsrConfig::defaultConfig() : StreamingAsrConfig::streaming();
  for (auto _ : state) {
    StreamingAsrManager asr(config);
    asr.start(models, AudioSource::microphone);
    for (std::size_t at = 0; at < audio.size(); at += 16000) asr.streamAudio(buffer(audio.data() + at, 16000));
    benchmark::DoNotOptimize(asr.finish());
  }
  state.counters["rtf"] =
      benchmark::Counter(60.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SlidingWindowMinute)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
