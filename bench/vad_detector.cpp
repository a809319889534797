// The voice-activity detector on the real network, loaded the way a caller
// loads it (VadManager from a model cache folder, so the model gets the
// threads of the engine's cost table), beside the bare ONNX Runtime calls at
// the same thread setting, over audio made of pocketsphinx-testdata speech
// clips and silence.
//
// Each round runs ten minutes of audio chunk by chunk, the detector's call
// and the bare call for the same chunk alternating so a change of machine
// load touches both alike. Figures are medians over the rounds:
//   detector_s_per_audio_hour  the detector's chunk calls and segmentation
//   bare_s_per_audio_hour      bare calls at the detector's thread setting
//   detector_over_bare         the two divided (aim: at most 1.05)
//   bare_heavy_s_per_h         bare calls on every core with spinning
//                              workers, the setting the detector had before
// Skips when the model is absent.
#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/ModelNames.h>
#include <voxtrellis/VadManager.h>

#include "BenchSupport.h"
#include "Models/ModelCosts.h"
#include "Onnx/OrtEnvironment.h"

#include <benchmark/benchmark.h>

#include <algorithm>

using namespace voxtrellis;
namespace fs = std::filesystem;

namespace {

constexpr double kRoundSeconds = 600.0;
constexpr int kRounds = 5;

std::optional<fs::path> realModel() {
  const fs::path source = PV_SOURCE_DIR;
  for (const fs::path& base : {source.parent_path(), source.parent_path().parent_path()}) {
    const fs::path candidate = base / "shared" / "models" / "silero-vad" / "model.onnx";
    if (fs::exists(candidate)) return candidate;
  }
  return std::nullopt;
}

// A base folder whose model cache holds the real model under its catalogue name.
fs::path baseFolderWith(const fs::path& model) {
  const fs::path base = bench::benchFolder() / "vad-base";
  const fs::path folder = base / "Models" / Repo(Repo::vad).folderName() / ModelNames::VAD::sileroVadFile;
  fs::create_directories(folder);
  fs::copy_file(model, folder / "model.onnx", fs::copy_options::update_existing);
  return base;
}

// Ten minutes of 16 kHz audio: the speech clips with a second of silence
// after each, repeated.
std::vector<float> roundOfAudio() {
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
  const auto total = static_cast<std::size_t>(kRoundSeconds * 16000);
  audio.reserve(total);
  while (audio.size() < total)
    audio.insert(audio.end(), piece.begin(), piece.begin() + std::min(piece.size(), total - audio.size()));
  return audio;
}

// The model straight through ONNX Runtime with every buffer bound once,
// carrying its state from chunk to chunk.
class BareVad {
 public:
  BareVad(const fs::path& model, const ThreadSettings& threads)
      : m_session(ortEnvironment(), model.c_str(), makeSessionOptions(threads)) {
    auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const int64_t audioShape[2] = {1, 4160};
    const int64_t stateShape[2] = {1, 128};
    const int64_t probabilityShape[2] = {1, 1};
    m_in.push_back(Ort::Value::CreateTensor<float>(memory, m_audio.data(), m_audio.size(), audioShape, 2));
    m_in.push_back(Ort::Value::CreateTensor<float>(memory, m_hidden.data(), 128, stateShape, 2));
    m_in.push_back(Ort::Value::CreateTensor<float>(memory, m_cell.data(), 128, stateShape, 2));
    m_out.push_back(Ort::Value::CreateTensor<float>(memory, &m_probability, 1, probabilityShape, 2));
    m_out.push_back(Ort::Value::CreateTensor<float>(memory, m_newHidden.data(), 128, stateShape, 2));
    m_out.push_back(Ort::Value::CreateTensor<float>(memory, m_newCell.data(), 128, stateShape, 2));
  }

  float run(std::span<const float> chunk) {
    static const char* in[] = {"audio_input", "hidden_state", "cell_state"};
    static const char* out[] = {"vad_output", "new_hidden_state", "new_cell_state"};
    std::copy_n(m_audio.end() - 64, 64, m_audio.begin());
    std::copy(chunk.begin(), chunk.end(), m_audio.begin() + 64);
    std::fill(m_audio.begin() + 64 + static_cast<std::ptrdiff_t>(chunk.size()), m_audio.end(), 0.0f);
    m_session.Run(Ort::RunOptions{nullptr}, in, m_in.data(), 3, out, m_out.data(), 3);
    m_hidden = m_newHidden;
    m_cell = m_newCell;
    return m_probability;
  }

 private:
  Ort::Session m_session;
  std::vector<float> m_audio = std::vector<float>(4160, 0.0f);
  std::vector<float> m_hidden = std::vector<float>(128, 0.0f);
  std::vector<float> m_cell = std::vector<float>(128, 0.0f);
  std::vector<float> m_newHidden = std::vector<float>(128, 0.0f);
  std::vector<float> m_newCell = std::vector<float>(128, 0.0f);
  float m_probability = 0;
  std::vector<Ort::Value> m_in, m_out;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void BM_VadPerAudioHour(benchmark::State& state) {
  const auto model = realModel();
  if (!model) {
    state.SkipWithError("the real voice-activity model ../shared/models/silero-vad/model.onnx is absent");
    return;
  }
  const VadConfig config;
  VadManager vad(config, baseFolderWith(*model));
  const ThreadSettings threads = threadSettings(config.computeUnits, modelCost(ModelNames::VAD::sileroVadFile));
  BareVad bare(*model, threads);
  BareVad heavy(*model, threadSettings(config.computeUnits, ModelCost::heavy));
  const std::vector<float> audio = roundOfAudio();
  const std::size_t chunks = (audio.size() + VadManager::chunkSize - 1) / VadManager::chunkSize;
  auto chunkAt = [&](std::size_t k) {
    const std::size_t start = k * VadManager::chunkSize;
    return std::span<const float>(audio.data() + start,
                                  std::min<std::size_t>(VadManager::chunkSize, audio.size() - start));
  };
  const double perHour = 3600.0 / kRoundSeconds;

  std::vector<double> detector, bareRuns, ratios;
  double heavySeconds = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      double detectorSeconds = 0;
      double bareSeconds = 0;
      std::vector<VadResult> results;
      results.reserve(chunks);
      std::optional<VadState> carried;
      for (std::size_t k = 0; k < chunks; ++k) {
        auto started = std::chrono::steady_clock::now();
        results.push_back(vad.processChunk(chunkAt(k), carried));
        carried = results.back().outputState;
        detectorSeconds += bench::seconds(started);

        started = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(bare.run(chunkAt(k)));
        bareSeconds += bench::seconds(started);
      }
      const auto started = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(vad.segmentSpeech(results, static_cast<int64_t>(audio.size())));
      detectorSeconds += bench::seconds(started);
      detector.push_back(detectorSeconds * perHour);
      bareRuns.push_back(bareSeconds * perHour);
      ratios.push_back(detectorSeconds / bareSeconds);
    }
    // Once, for comparison: the heavy setting spins on every core.
    const auto started = std::chrono::steady_clock::now();
    for (std::size_t k = 0; k < chunks; ++k) benchmark::DoNotOptimize(heavy.run(chunkAt(k)));
    heavySeconds = bench::seconds(started);
  }
  state.counters["detector_s_per_audio_hour"] = median(detector);
  state.counters["bare_s_per_audio_hour"] = median(bareRuns);
  state.counters["detector_over_bare"] = median(ratios);
  state.counters["bare_heavy_s_per_h"] = heavySeconds * perHour;
  state.counters["intra_op_threads"] = threads.intraOpThreads;
  state.counters["chunks_per_round"] = static_cast<double>(chunks);
}
BENCHMARK(BM_VadPerAudioHour)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
