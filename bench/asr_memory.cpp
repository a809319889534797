// Peak memory of transcribing long audio in chunks: the recogniser's own
// memory above what the input samples take must stay flat as the audio grows
// (10, 30 and 60 minutes). Runs on the generated test models, whose
// per-chunk work has the real shapes (240 000-sample windows, 188 encoder
// frames of 1024 values, decoder state [2, 1, 640]).
#include "engine/ASR/AsrTestSupport.h"

#include <voxtrellis/AsrManager.h>
#include <voxtrellis/PerformanceMonitor.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

using namespace voxtrellis;

namespace {

// Samples the resident memory until stopped and keeps the highest reading.
class PeakSampler {
 public:
  PeakSampler()
      : m_thread([this] {
          while (!m_stop.load()) {
            m_peak = std::max(m_peak.load(), PerformanceMonitor::residentMemoryMB());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
        }) {}
  float stop() {
    m_stop = true;
    m_thread.join();
    return std::max(m_peak.load(), PerformanceMonitor::residentMemoryMB());
  }

 private:
  std::atomic<bool> m_stop{false};
  std::atomic<float> m_peak{0.0f};
  std::thread m_thread;
};

void BM_TranscribeLongAudioPeakMemory(benchmark::State& state) {
  const int minutes = static_cast<int>(state.range(0));
  auto manager = AsrManager::create();
  manager->initialize(asrtest::fixtureModels());
  const size_t samples = static_cast<size_t>(minutes) * 60 * 16000;
  const int frames = static_cast<int>(samples / 1280);
  std::vector<asrtest::FrameDecision> words;
  for (int f = 3, k = 0; f < frames - 8; f += 6, ++k) {
    words.push_back({f, 100 + (k % 26), 1 + (k % 4), 0.8f});
  }
  const std::vector<float> audio = asrtest::renderSpeech(words, samples);

  float baseline = 0;
  float peak = 0;
  size_t tokens = 0;
  for (auto _ : state) {
    baseline = PerformanceMonitor::residentMemoryMB();
    PeakSampler sampler;
    const ASRResult r = manager->transcribe(audio, AudioSource::microphone);
    peak = sampler.stop();
    tokens = r.tokenTimings ? r.tokenTimings->size() : 0;
  }
  state.counters["inputMB"] = static_cast<double>(samples * sizeof(float)) / (1024.0 * 1024.0);
  state.counters["baselineMB"] = baseline;
  state.counters["peakAboveInputMB"] = peak - baseline;
  state.counters["tokens"] = static_cast<double>(tokens);
  state.counters["expectedTokens"] = static_cast<double>(words.size());
}

}  // namespace

BENCHMARK(BM_TranscribeLongAudioPeakMemory)->Arg(10)->Arg(30)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
