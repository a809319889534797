// Decoding cost per encoder frame of the token-and-duration loop with a
// decoder and joint network of the real sizes (LSTM 2 x 640; joint from
// 1024 + 640 to 8193 tokens and 5 durations), against the bare ONNX Runtime
// calls for the same number of decoder and joint steps.
//
// Thread settings. First argument: the compute units, 0 = the recogniser's
// default (cpuAndNeuralEngine: every core granted), 1 = cpuOnly (half the
// cores, what CI runs). Second argument: the threads each session gets,
// 0 = as the engine loads the decoder and joint (ModelCost::perStep: two
// intra-op threads, spinning off), 1 = every granted core with spinning on
// (ModelCost::heavy, the setting the decoder and joint had before).
// BM_LoopOverBareRatio compares the loop with the bare calls at the engine's
// own setting, in two separate phases (all loop windows, then all bare
// windows) so only one set of sessions is busy at a time.
// Every figure is wall time: the benchmarks run with UseRealTime(), so the
// Time column and the "frames" counter (wall time per encoder frame) are taken
// from the wall clock, not from the calling thread's CPU time, which misses
// the time spent in the runtime's worker threads.
// The random-weight models are generated at the first start by
// tools/bench/asr_models.py into the temporary folder.
#include "ASR/TDT/TdtDecoderModel.h"
#include "ASR/TDT/TdtDecoderV3.h"
#include "ASR/TDT/TdtJointModel.h"
#include "Onnx/OnnxModel.h"
#include "Onnx/OrtEnvironment.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>

using namespace voxtrellis;
namespace fs = std::filesystem;

namespace {

constexpr int kFrames = 188;  // one 15 s window

TdtDecoderV3::Request request(const Tensor& encoder) {
  TdtDecoderV3::Request r;
  r.encoderOutput = &encoder;
  r.encoderSequenceLength = kFrames;
  r.actualAudioFrames = kFrames;
  return r;
}

struct BenchModels {
  fs::path folder;
  std::shared_ptr<TdtDecoderModel> decoder;
  std::shared_ptr<TdtJointModel> joint;
  Tensor encoder;
  TdtDecoderV3::Statistics calls;  // of one decode of the window
};

// Benchmark argument 0: the recogniser's own units (every core); 1: cpuOnly (half the cores).
ComputeUnits unitsFor(int64_t arg) {
  return arg == 0 ? ComputeUnits::cpuAndNeuralEngine : ComputeUnits::cpuOnly;
}

// Benchmark argument 1: 0 the engine's per-step setting, 1 every granted core.
ModelCost costFor(int64_t arg) {
  return arg == 0 ? ModelCost::perStep : ModelCost::heavy;
}

BenchModels makeBenchModels(ComputeUnits units, ModelCost cost) {
  {
    BenchModels m;
    m.folder = fs::temp_directory_path() / "voxtrellis-asr-bench-models";
    if (!fs::exists(m.folder / "ready")) {
      const std::string command =
          "/usr/bin/python3 '" PV_SOURCE_DIR "/tools/bench/asr_models.py' '" + m.folder.string() + "'";
      if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("could not generate the benchmark models");
      }
    }
    m.decoder = std::make_shared<TdtDecoderModel>(OnnxModel::load(m.folder / "Decoder.mlmodelc", units, cost));
    m.joint = std::make_shared<TdtJointModel>(OnnxModel::load(m.folder / "JointDecision.mlmodelc", units, cost));
    m.encoder = Tensor::zeros(ElementType::float32, {1, 1024, kFrames});
    std::mt19937 rng(7);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (float& v : m.encoder.values<float>()) v = normal(rng);

    TdtDecoderV3 decoder(ASRConfig::defaults());
    TdtDecoderState state = TdtDecoderState::make();
    decoder.decodeWithTimings(request(m.encoder), *m.decoder, *m.joint, state);
    m.calls = decoder.statistics();
    return m;
  }
}

const BenchModels& benchModels(int64_t unitsArg, int64_t costArg) {
  static std::map<std::pair<int64_t, int64_t>, BenchModels> cache;
  const auto key = std::make_pair(unitsArg, costArg);
  auto it = cache.find(key);
  if (it == cache.end()) {
    it = cache.emplace(key, makeBenchModels(unitsFor(unitsArg), costFor(costArg))).first;
  }
  return it->second;
}

// The same model calls straight through ONNX Runtime, with every buffer bound
// once: nothing but the runtime's own work.
class BareRuntime {
 public:
  BareRuntime(const fs::path& folder, ComputeUnits units, ModelCost cost)
      : m_decoder(ortEnvironment(), (folder / "Decoder.mlmodelc" / "model.onnx").c_str(),
                  makeSessionOptions(units, cost)),
        m_joint(ortEnvironment(), (folder / "JointDecision.mlmodelc" / "model.onnx").c_str(),
                makeSessionOptions(units, cost)) {
    auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const int64_t tShape[2] = {1, 1};
    const int64_t lShape[1] = {1};
    const int64_t sShape[3] = {2, 1, 640};
    const int64_t pShape[3] = {1, 640, 1};
    const int64_t eShape[3] = {1, 1024, 1};
    const int64_t oShape[3] = {1, 1, 1};
    m_decIn.push_back(Ort::Value::CreateTensor<int32_t>(memory, &m_target, 1, tShape, 2));
    m_decIn.push_back(Ort::Value::CreateTensor<int32_t>(memory, &m_length, 1, lShape, 1));
    m_decIn.push_back(Ort::Value::CreateTensor<float>(memory, m_h.data(), m_h.size(), sShape, 3));
    m_decIn.push_back(Ort::Value::CreateTensor<float>(memory, m_c.data(), m_c.size(), sShape, 3));
    m_decOut.push_back(Ort::Value::CreateTensor<float>(memory, m_proj.data(), m_proj.size(), pShape, 3));
    m_decOut.push_back(Ort::Value::CreateTensor<float>(memory, m_hOut.data(), m_hOut.size(), sShape, 3));
    m_decOut.push_back(Ort::Value::CreateTensor<float>(memory, m_cOut.data(), m_cOut.size(), sShape, 3));
    m_jointIn.push_back(Ort::Value::CreateTensor<float>(memory, m_enc.data(), m_enc.size(), eShape, 3));
    m_jointIn.push_back(Ort::Value::CreateTensor<float>(memory, m_proj.data(), m_proj.size(), pShape, 3));
    m_jointOut.push_back(Ort::Value::CreateTensor<int32_t>(memory, &m_token, 1, oShape, 3));
    m_jointOut.push_back(Ort::Value::CreateTensor<float>(memory, &m_prob, 1, oShape, 3));
    m_jointOut.push_back(Ort::Value::CreateTensor<int32_t>(memory, &m_duration, 1, oShape, 3));
  }

  // The calls in the decode's own order ('d' decoder, 'j' joint), so both
  // compete for the caches the same way.
  void run(const std::string& order) {
    static const char* decIn[] = {"targets", "target_length", "h_in", "c_in"};
    static const char* decOut[] = {"decoder", "h_out", "c_out"};
    static const char* jIn[] = {"encoder_step", "decoder_step"};
    static const char* jOut[] = {"token_id", "token_prob", "duration"};
    for (char call : order) {
      if (call == 'd') {
        m_decoder.Run(Ort::RunOptions{nullptr}, decIn, m_decIn.data(), 4, decOut, m_decOut.data(), 3);
      } else {
        m_joint.Run(Ort::RunOptions{nullptr}, jIn, m_jointIn.data(), 2, jOut, m_jointOut.data(), 3);
      }
    }
    benchmark::DoNotOptimize(m_token);
  }

 private:
  Ort::Session m_decoder;
  Ort::Session m_joint;
  int32_t m_target = 5;
  int32_t m_length = 1;
  std::vector<float> m_h = std::vector<float>(1280, 0.0f);
  std::vector<float> m_c = std::vector<float>(1280, 0.0f);
  std::vector<float> m_hOut = std::vector<float>(1280, 0.0f);
  std::vector<float> m_cOut = std::vector<float>(1280, 0.0f);
  std::vector<float> m_proj = std::vector<float>(640, 0.0f);
  std::vector<float> m_enc = std::vector<float>(1024, 0.5f);
  int32_t m_token = 0;
  float m_prob = 0;
  int32_t m_duration = 0;
  std::vector<Ort::Value> m_decIn, m_decOut, m_jointIn, m_jointOut;
};

// "frames" is the wall time per encoder frame: a rate inverted, over real time.
void setFrameCounters(benchmark::State& state, const BenchModels& m) {
  state.counters["frames"] = benchmark::Counter(static_cast<double>(kFrames) * state.iterations(),
                                                benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["decoderSteps"] = m.calls.decoderSteps;
  state.counters["jointEvaluations"] = m.calls.jointEvaluations;
  state.counters["intraOpThreads"] = intraOpThreads(unitsFor(state.range(0)), costFor(state.range(1)));
}

double decodeWindow(const BenchModels& m, TdtDecoderV3& decoder) {
  const auto t0 = std::chrono::steady_clock::now();
  TdtDecoderState s = TdtDecoderState::make();
  auto h = decoder.decodeWithTimings(request(m.encoder), *m.decoder, *m.joint, s);
  benchmark::DoNotOptimize(h);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_DecodeLoopPerFrame(benchmark::State& state) {
  const BenchModels& m = benchModels(state.range(0), state.range(1));
  TdtDecoderV3 decoder(ASRConfig::defaults());
  for (auto _ : state) decodeWindow(m, decoder);
  setFrameCounters(state, m);
}

void BM_BareRuntimePerFrame(benchmark::State& state) {
  const BenchModels& m = benchModels(state.range(0), state.range(1));
  BareRuntime bare(m.folder, unitsFor(state.range(0)), costFor(state.range(1)));
  for (auto _ : state) bare.run(m.calls.order);
  setFrameCounters(state, m);
}

// The loop's time over the bare calls' time at the engine's own setting
// (target: at most 1.15). Each iteration runs a phase of 20 loop windows,
// then a phase of 20 bare windows: never both sets of sessions at once.
void BM_LoopOverBareRatio(benchmark::State& state) {
  constexpr int kWindows = 20;
  const BenchModels& m = benchModels(state.range(0), 0);
  BareRuntime bare(m.folder, unitsFor(state.range(0)), ModelCost::perStep);
  TdtDecoderV3 decoder(ASRConfig::defaults());
  double loopSeconds = 0;
  double bareSeconds = 0;
  for (auto _ : state) {
    for (int i = 0; i < kWindows; ++i) loopSeconds += decodeWindow(m, decoder);
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kWindows; ++i) bare.run(m.calls.order);
    bareSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  const double frames = static_cast<double>(kFrames) * kWindows * static_cast<double>(state.iterations());
  state.counters["ratio"] = loopSeconds / bareSeconds;
  state.counters["loopMsPerFrame"] = 1000.0 * loopSeconds / frames;
  state.counters["bareMsPerFrame"] = 1000.0 * bareSeconds / frames;
}

}  // namespace

BENCHMARK(BM_DecodeLoopPerFrame)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK(BM_BareRuntimePerFrame)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK(BM_LoopOverBareRatio)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(4.0)->UseRealTime();

BENCHMARK_MAIN();
