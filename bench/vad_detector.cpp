// The voice-activity detector on the real network over an hour of audio
// (pocketsphinx-testdata speech clips and silence, repeated), against the
// bare ONNX Runtime calls for the same chunks, measured in the same run. The
// counters report the real-time factor of both and the detector's overhead
// (detector seconds / bare seconds - 1).
#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/VadManager.h>

#include "BenchSupport.h"
#include "Onnx/OnnxModel.h"

#include <benchmark/benchmark.h>

#include <algorithm>

using namespace voxtrellis;
namespace fs = std::filesystem;

namespace {

constexpr double kAudioSeconds = 3600.0;

fs::path realModel() {
  return fs::path(PV_SOURCE_DIR) / "tests" / "data" / "silero-vad" / "model.onnx";
}

// An hour of 16 kHz audio: the speech clips with a second of silence after
// each, repeated.
std::vector<float> hourOfAudio() {
  std::vector<float> piece;
  const fs::path folder = "/usr/share/pocketsphinx/test/data/librivox";
  if (fs::is_directory(folder)) {
    std::vector<fs::path> clips;
    for (const auto& e : fs::directory_iterator(folder)) {
      if (e.path().extension() == ".wav") clips.push_back(e.path());
    }
    std::sort(clips.begin(), clips.end());
    for (const auto& clip : clips) {
      const auto samples = AudioConverter().resampleAudioFile(clip);
      piece.insert(piece.end(), samples.begin(), samples.end());
      piece.insert(piece.end(), 16000, 0.0f);
    }
  }
  if (piece.empty()) piece.assign(16000, 0.0f);
  std::vector<float> audio;
  const auto total = static_cast<std::size_t>(kAudioSeconds * 16000);
  audio.reserve(total);
  while (audio.size() < total)
    audio.insert(audio.end(), piece.begin(), piece.begin() + std::min(piece.size(), total - audio.size()));
  return audio;
}

void BM_VadHourOfAudio(benchmark::State& state) {
  auto onnx = OnnxModel::loadFile(realModel(), ComputeUnits::cpuAndNeuralEngine);
  VadManager vad(VadConfig{}, onnx);
  const std::vector<float> audio = hourOfAudio();
  const std::size_t chunks = (audio.size() + VadManager::chunkSize - 1) / VadManager::chunkSize;

  // Chunk by chunk, the detector's call and the bare call for the same chunk
  // alternate, so a change of machine load touches both alike.
  double detectorSeconds = 0;
  double bareSeconds = 0;
  for (auto _ : state) {
    std::vector<VadResult> results;
    results.reserve(chunks);
    std::optional<VadState> carried;
    Tensor input = Tensor::zeros(ElementType::float32, {1, 4160});
    Tensor hidden = Tensor::zeros(ElementType::float32, {1, 128});
    Tensor cell = Tensor::zeros(ElementType::float32, {1, 128});
    for (std::size_t k = 0; k < chunks; ++k) {
      const std::size_t start = k * VadManager::chunkSize;
      const std::size_t n = std::min<std::size_t>(VadManager::chunkSize, audio.size() - start);
      const std::span<const float> chunk(audio.data() + start, n);

      auto started = std::chrono::steady_clock::now();
      results.push_back(vad.processChunk(chunk, carried));
      carried = results.back().outputState;
      detectorSeconds += bench::seconds(started);

      started = std::chrono::steady_clock::now();
      std::copy_n(chunk.begin(), n, input.data<float>() + 64);
      auto out = onnx->predict({{"audio_input", input}, {"hidden_state", hidden}, {"cell_state", cell}});
      hidden = out.at("new_hidden_state");
      cell = out.at("new_cell_state");
      benchmark::DoNotOptimize(out.at("vad_output").data<float>()[0]);
      bareSeconds += bench::seconds(started);
    }
    const auto started = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(vad.segmentSpeech(results, static_cast<int64_t>(audio.size())));
    detectorSeconds += bench::seconds(started);
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["detector_rtf"] = detectorSeconds / runs / kAudioSeconds;
  state.counters["bare_model_rtf"] = bareSeconds / runs / kAudioSeconds;
  state.counters["overhead"] = detectorSeconds / bareSeconds - 1.0;
  state.counters["chunks"] = static_cast<double>(chunks);
}
BENCHMARK(BM_VadHourOfAudio)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
