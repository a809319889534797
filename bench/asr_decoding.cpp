// The token-and-duration decode loop as the application runs it, per hour of
// audio, beside the bare ONNX Runtime calls, under candidate thread settings.
//
// The models are loaded the way the application loads them: AsrModels::load
// on a model cache folder, so the decoder and joint get the threads the
// engine's cost table gives them. The decoder and joint have the real sizes
// (LSTM 2 x 640; joint from 1024 + 640 to 8193 tokens and 5 durations) with
// random weights, generated at the first start by tools/bench/asr_models.py;
// the preprocessor, encoder and vocabulary are the test fixtures' (the loop
// does not run them). The encoder output of one 15 s window (188 frames) is
// random.
//
// Each window is decoded as the application decodes the windows of a long file
// (ChunkProcessor): the 187 frames of a 239 360-sample chunk. Chunks overlap by
// 2 s, so each one moves the audio on by its stride (162 frames, 12.96 s) and
// the overlap is decoded twice: an audio hour is 3600 / 12.96 windows, which
// decode 1.154 times the hour's own frames ("decoded_frames_per_audio_frame").
//
// Each candidate light setting is loaded once more through AsrModels::load
// (with the engine's measuring override), and its model calls are replayed
// bare (every buffer bound once, nothing but the runtime's own work). Each
// round runs one phase of windows per loop and per bare replay, one phase
// after another so only one set of sessions is busy at a time; odd rounds run
// the phases in the reverse order, so no phase always follows the same one. A
// phase's processor time (all threads of the process) is read after a pause
// that lets its spinning workers fall asleep, so it includes their spinning.
// Figures are medians over the rounds, per audio hour as the application
// decodes it:
//   loop_s_per_audio_hour   the decode loop at the application's settings
//   loop_cpu_s_per_h        its processor time
//   bare_s_per_audio_hour   bare calls at the candidate setting whose median
//                           is the lowest
//   loop_over_bare          the two medians divided (aim: at most 1.15)
//   loop_<c>_s_per_h, loop_<c>_cpu_s_per_h   the loop with light setting c
//   bare_<c>_s_per_h, bare_<c>_cpu_s_per_h   bare calls with setting c
//       c: 1t (one thread), 2t (two, sleeping between calls), 2t_spin (two
//       per session, spinning), 2t_shared (the pool all light models share,
//       spinning); bare only: all_spin (every core, spinning: the heavy
//       setting)
//   threads_added_by_load   threads AsrModels::load left in the process
// Aim on a quiet 8-core machine: at most 15 s of decoding per audio hour.
#include <voxtrellis/AsrModels.h>

#include "ASR/AsrManagerImpl.h"
#include "ASR/ChunkProcessor.h"
#include "ASR/TDT/TdtDecoderModel.h"
#include "ASR/TDT/TdtDecoderV3.h"
#include "ASR/TDT/TdtJointModel.h"
#include "BenchSupport.h"
#include "Onnx/OnnxModel.h"
#include "Onnx/OrtEnvironment.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <thread>

using namespace voxtrellis;
namespace fs = std::filesystem;

namespace {

constexpr int kFrames = 188;  // the encoder output of one 15 s window
// What the application decodes of it: the frames of one chunk of a long file.
constexpr int kDecodedFrames =
    int((ChunkProcessor::chunkSamples + ChunkProcessor::frameSamples - 1) / ChunkProcessor::frameSamples);
constexpr int kRounds = 9;
constexpr int kWindowsPerPhase = 8;
// Longer than the runtime's workers spin after their last work.
constexpr auto kSettle = std::chrono::milliseconds(150);

TdtDecoderV3::Request request(const Tensor& encoder) {
  TdtDecoderV3::Request r;
  r.encoderOutput = &encoder;
  r.encoderSequenceLength = kFrames;
  r.actualAudioFrames = kDecodedFrames;
  return r;
}

// Audio hours one window moves a long file on by: its chunk's stride.
double audioHoursPerWindow() {
  const ChunkProcessor chunks({}, asr::chunkSampleRate, asr::chunkOverlapSeconds);
  return static_cast<double>(chunks.strideSamples()) / asr::chunkSampleRate / 3600.0;
}

std::size_t processThreads() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// Processor seconds of every thread of the process so far.
double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A model cache folder as the application keeps one, filled once.
fs::path modelCache() {
  const fs::path root = bench::benchFolder() / "asr-decoding-models";
  const fs::path repo = root / AsrModels::folderName(AsrModelVersion::v3);
  if (!fs::exists(repo / "ready")) {
    const std::string command =
        "/usr/bin/python3 '" PV_SOURCE_DIR "/tools/bench/asr_models.py' '" + repo.string() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("could not generate the benchmark models");
  }
  const fs::path fixtures = fs::path(PV_FIXTURES_DIR) / "asr" / AsrModels::folderName(AsrModelVersion::v3);
  for (const char* name : {"Preprocessor.mlmodelc", "Encoder.mlmodelc", "parakeet_vocab.json"}) {
    if (!fs::exists(repo / name)) fs::copy(fixtures / name, repo / name, fs::copy_options::recursive);
  }
  return repo;
}

// The same model calls straight through ONNX Runtime, with every buffer bound
// once.
class BareRuntime {
 public:
  BareRuntime(const fs::path& folder, const ThreadSettings& threads)
      : m_decoder(ortEnvironment(), (folder / "Decoder.mlmodelc" / "model.onnx").c_str(), makeSessionOptions(threads)),
        m_joint(ortEnvironment(), (folder / "JointDecision.mlmodelc" / "model.onnx").c_str(),
                makeSessionOptions(threads)) {
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

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Wall and processor seconds per audio hour of one phase, which decodes
// kWindowsPerPhase windows.
struct PhaseFigures {
  std::vector<double> wall;
  std::vector<double> cpu;

  template <class Phase>
  void measure(Phase&& phase) {
    const double cpuBefore = processCpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    phase();
    const double seconds = bench::seconds(started);
    std::this_thread::sleep_for(kSettle);  // the spinning after the last call belongs to this phase
    const double hours = kWindowsPerPhase * audioHoursPerWindow();
    wall.push_back(seconds / hours);
    cpu.push_back((processCpuSeconds() - cpuBefore) / hours);
  }
};

struct Candidate {
  const char* name;
  ThreadSettings threads;
  bool loop;  // also measured through the load path the application takes
};

void BM_DecodeLoopPerAudioHour(benchmark::State& state) {
  const fs::path repo = modelCache();
  ortEnvironment();  // its shared pool is not the load's doing
  const std::size_t threadsBefore = processThreads();
  const AsrModels models = AsrModels::load(repo, std::nullopt, AsrModelVersion::v3);
  const std::size_t threadsAfter = processThreads();

  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const Candidate candidates[] = {{"1t", {1, false, false}, true},
                                  {"2t", {2, false, false}, true},
                                  {"2t_spin", {2, true, false}, true},
                                  {"2t_shared", {lightPoolThreads(), true, true}, true},
                                  {"all_spin", {cores, true, false}, false}};
  std::vector<AsrModels> loaded;
  std::vector<std::unique_ptr<BareRuntime>> bare;
  for (const auto& c : candidates) {
    overrideThreadSettings(ModelCost::perStep, c.threads);
    if (c.loop) loaded.push_back(AsrModels::load(repo, std::nullopt, AsrModelVersion::v3));
    bare.push_back(std::make_unique<BareRuntime>(repo, c.threads));
  }
  overrideThreadSettings(ModelCost::perStep, std::nullopt);

  Tensor encoder = Tensor::zeros(ElementType::float32, {1, 1024, kFrames});
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (float& v : encoder.values<float>()) v = normal(rng);
  TdtDecoderV3 decoder(ASRConfig::defaults());
  auto decodeWindows = [&](const AsrModels& m) {
    for (int i = 0; i < kWindowsPerPhase; ++i) {
      TdtDecoderState s = TdtDecoderState::make();
      benchmark::DoNotOptimize(decoder.decodeWithTimings(request(encoder), *m.decoder, *m.joint, s));
    }
  };
  {
    TdtDecoderState s = TdtDecoderState::make();  // warms the sessions and records the calls of one window
    decoder.decodeWithTimings(request(encoder), *models.decoder, *models.joint, s);
  }
  const std::string order = decoder.statistics().order;
  const int decoderSteps = decoder.statistics().decoderSteps;
  const int jointCalls = decoder.statistics().jointEvaluations;
  for (const auto& m : loaded) decodeWindows(m);
  for (const auto& b : bare) b->run(order);

  PhaseFigures app;
  std::vector<PhaseFigures> loops(loaded.size());
  std::vector<PhaseFigures> bares(bare.size());
  std::vector<std::function<void()>> phases;
  phases.push_back([&] { app.measure([&] { decodeWindows(models); }); });
  for (std::size_t c = 0; c < loaded.size(); ++c)
    phases.push_back([&, c] { loops[c].measure([&] { decodeWindows(loaded[c]); }); });
  for (std::size_t c = 0; c < bare.size(); ++c) {
    phases.push_back([&, c] {
      bares[c].measure([&] {
        for (int i = 0; i < kWindowsPerPhase; ++i) bare[c]->run(order);
      });
    });
  }
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      if (round % 2 == 0) {
        for (const auto& phase : phases) phase();
      } else {
        for (auto phase = phases.rbegin(); phase != phases.rend(); ++phase) (*phase)();
      }
    }
  }
  double bestBare = 0;
  for (std::size_t c = 0; c < bare.size(); ++c) {
    const std::string name = candidates[c].name;
    const double m = median(bares[c].wall);
    state.counters["bare_" + name + "_s_per_h"] = m;
    state.counters["bare_" + name + "_cpu_s_per_h"] = median(bares[c].cpu);
    bestBare = c == 0 ? m : std::min(bestBare, m);
    if (c < loops.size()) {
      state.counters["loop_" + name + "_s_per_h"] = median(loops[c].wall);
      state.counters["loop_" + name + "_cpu_s_per_h"] = median(loops[c].cpu);
    }
  }
  state.counters["loop_s_per_audio_hour"] = median(app.wall);
  state.counters["loop_cpu_s_per_h"] = median(app.cpu);
  state.counters["bare_s_per_audio_hour"] = bestBare;
  state.counters["loop_over_bare"] = median(app.wall) / bestBare;
  state.counters["decoder_threads"] = models.decoder->model().threadSettings().intraOpThreads;
  state.counters["threads_added_by_load"] = static_cast<double>(threadsAfter - threadsBefore);
  state.counters["decoder_steps_per_window"] = decoderSteps;
  state.counters["joint_calls_per_window"] = jointCalls;
  state.counters["decoded_frames_per_audio_frame"] =
      kDecodedFrames / (audioHoursPerWindow() * 3600.0 / asr::frameSeconds);
}

}  // namespace

BENCHMARK(BM_DecodeLoopPerAudioHour)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
