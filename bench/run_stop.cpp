// How soon each step of a run ends once the application asks it to stop (as it does when it
// quits): the stop is asked for from another thread part-way through the step, and "stop_ms" is
// the time from then until the step has returned. The aim is well under 2 s for every step,
// whatever the file's length: a step ends within one piece of its work (a decoded frame, a
// recognition chunk, a window's voice vectors, a merge of the linkage, an iteration of VBx, a
// few megabytes of the sample cache's write, a token of the merge).
//
// Over long inputs: an hour-long MP3 decoded, two hours of samples recognised and diarized
// with the generated test models (tiny: a chunk or window costs milliseconds here, while with
// real models a chunk is about a second of work), the clustering of an eight-hour meeting's
// embeddings (linkage and VBx, "Balanced"; stopped in the linkage, then later in VBx), three
// hours of words merged with their turns, and two hours of samples written to the cache.
// "step_s" is how long the whole step takes when nobody stops it; "stopped_at_s" when the stop
// was asked for.

#include "Diarizer/Offline/Clustering/SpeakerClusteringStage.h"
#include "Diarizer/Offline/Core/PipelineSupport.h"
#include "Services/AudioCacheService.h"
#include "Services/AudioProcessor.h"
#include "Services/SpeechEngine.h"
#include "ViewModels/SegmentMerger.h"

#include <voxtrellis/WorkStopped.h>

#include "BenchSupport.h"
#include "engine/Diarizer/MeetingEmbeddings.h"
#include "support/FixturePaths.h"

#include <benchmark/benchmark.h>

#include <QUuid>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <stop_token>
#include <thread>

namespace {

using namespace parlowvista;
using Clock = std::chrono::steady_clock;

// Runs `step` once to the end (its time: "step_s"), then again with a stop asked for after
// `share` of that time, and reports how long the step took to return after the stop.
void measureStop(benchmark::State& state, const std::function<void(std::stop_token)>& step, double share) {
  auto started = Clock::now();
  step({});
  const double whole = bench::seconds(started);
  double stopMs = 0;
  for (auto _ : state) {
    std::stop_source stop;
    std::atomic<Clock::time_point::rep> askedAt{0};
    std::jthread asker([&] {
      std::this_thread::sleep_for(std::chrono::duration<double>(whole * share));
      askedAt = Clock::now().time_since_epoch().count();
      stop.request_stop();
    });
    started = Clock::now();
    try {
      step(stop.get_token());
      state.SkipWithError("the step ended before the stop was asked for");
      return;
    } catch (const voxtrellis::WorkStopped&) {
    } catch (const voxtrellis::DiarizationCancelled&) {
    }
    const auto ended = Clock::now();
    stopMs =
        std::chrono::duration<double, std::milli>(ended - Clock::time_point(Clock::duration(askedAt.load()))).count();
    state.SetIterationTime(std::chrono::duration<double>(ended - started).count());
  }
  state.counters["step_s"] = whole;
  state.counters["stopped_at_s"] = whole * share;
  state.counters["stop_ms"] = stopMs;
}

// Two voices taking turns of three seconds, as the generated models hear them.
std::vector<float> talk(double seconds) {
  std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double tone = (i / 48000) % 2 ? 1600.0 : 400.0;
    samples[i] = 0.15f * static_cast<float>(std::sin(2.0 * M_PI * tone * static_cast<double>(i) / 16000.0));
  }
  return samples;
}

std::shared_ptr<SpeechEngine> generatedModels() {
  VoxtrellisSpeechEngine::ModelFolders folders;
  folders.recognizer = testsupport::fixturesDir() / "asr" / "parakeet-tdt-0.6b-v3-onnx";
  folders.diarizer = testsupport::fixturesDir() / "diarizer";
  return std::make_shared<VoxtrellisSpeechEngine>(folders);
}

void BM_StopLoading(benchmark::State& state) {
  const auto file = bench::ffmpegMadeFile("hour-44k-stereo.mp3",
                                          "-f lavfi -i \"sine=frequency=440:sample_rate=44100:duration=3600\" "
                                          "-f lavfi -i \"anoisesrc=color=pink:sample_rate=44100:duration=3600:"
                                          "amplitude=0.05\" -filter_complex amerge=inputs=2 -ac 2 -c:a libmp3lame "
                                          "-b:a 128k");
  if (file.empty()) return state.SkipWithError("cannot make the MP3 with the ffmpeg tool");
  const QString path = QString::fromStdString(file.string());
  measureStop(
      state, [&](std::stop_token stop) { AudioProcessor().loadAndResample(path, {}, stop); }, 0.5);
}

void BM_StopRecognition(benchmark::State& state) {
  const auto samples = talk(2 * 3600);
  const auto recognizer = generatedModels()->loadRecognizer({}, {});
  measureStop(
      state, [&](std::stop_token stop) { recognizer->transcribe(samples, {}, stop); }, 0.5);
}

void BM_StopDiarization(benchmark::State& state) {
  const auto samples = talk(2 * 3600);
  const auto diarizer = generatedModels()->prepareDiarizer(voxtrellis::OfflineDiarizerConfig{}, {});
  measureStop(
      state, [&](std::stop_token stop) { diarizer->process(samples, {}, stop); }, 0.5);
}

void BM_StopClustering(benchmark::State& state) {
  const auto meeting = diarizertest::meeting(480, 1);
  const auto config = diarizertest::configOf(diarizertest::kBalanced);
  measureStop(
      state,
      [&](std::stop_token stop) {
        voxtrellis::CancellationFlag cancellation;
        const std::stop_callback cancel(stop, [&] { cancellation.cancel(); });
        voxtrellis::SpeakerClusteringStage::run(meeting.embeddings, meeting.segmentation, config, meeting.psi,
                                                &cancellation);
      },
      static_cast<double>(state.range(0)) / 100.0);
}

void BM_StopMerge(benchmark::State& state) {
  // Three hours: a word every 0.16 s, a turn every 1.2 s.
  voxtrellis::ASRResult asr;
  std::vector<voxtrellis::TokenTiming> tokens;
  for (double t = 0; t < 3 * 3600; t += 0.16) {
    voxtrellis::TokenTiming token;
    token.token = " word";
    token.startTime = t;
    token.endTime = t + 0.12;
    tokens.push_back(token);
  }
  asr.tokenTimings = std::move(tokens);
  voxtrellis::DiarizationResult turns;
  for (int turn = 0; turn * 1.2 < 3 * 3600; ++turn) {
    const auto start = static_cast<float>(turn * 1.2);
    turns.segments.emplace_back(turn % 2 ? "S2" : "S1", std::vector<float>{}, start, start + 1.2f, 1.0f);
  }
  measureStop(
      state, [&](std::stop_token stop) { mergeResults(asr, turns, 3 * 3600, SubtitleLimits{}, stop); }, 0.5);
}

void BM_StopCacheWrite(benchmark::State& state) {
  const std::vector<float> samples(static_cast<std::size_t>(2 * 3600 * 16000), 0.25f);
  const auto folder = bench::benchFolder() / "stop-cache";
  AudioCacheService cache(QString::fromStdString(folder.string()));
  const QUuid id = QUuid::createUuid();
  measureStop(
      state, [&](std::stop_token stop) { cache.cacheSamples(samples, id, stop); }, 0.5);
  std::filesystem::remove_all(folder);
}

}  // namespace

BENCHMARK(BM_StopLoading)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_StopRecognition)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_StopDiarization)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_StopClustering)
    ->Arg(10)
    ->Arg(80)
    ->ArgName("stop_at_pct")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_StopMerge)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_StopCacheWrite)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
