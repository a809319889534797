// Clustering cost of the offline diarizer (centroid linkage + VBx, as the
// clustering stage runs them) for 1,000 to 50,000 embeddings of 256 values
// from 40 well-separated synthetic speakers, with peak memory. The stage must
// find the 40 speakers, or the run is reported as an error, not a time.
//
// Against SciPy's linkage(method="centroid") on the same rows (where its
// distance matrix fits in memory), both on one thread: the process (and so
// the Python child) is pinned to one core, and the child runs with
// OMP/OPENBLAS/MKL threads = 1. "scipy_over_ours_1t" is that one-thread
// ratio; "linkage_s" is our linkage with every core it uses, beside it.
// Past 15,000 rows SciPy's matrix no longer fits and only our one-thread
// time ("linkage_1t_s") is taken: its growth from 15k to 50k (the slope of
// log time over log n) shows how the cost rises once the working set
// leaves the caches.
//
// BM_Meeting runs the stage as the pipeline does on a meeting of four voices,
// two of them alike (tests/engine/Diarizer/MeetingEmbeddings.h), of 20
// minutes, 1, 3 and 8 hours, under the application's presets (0 "Fewer
// Speakers", 1 "Balanced", 2 "More Speakers"): the speakers found, the share
// of embeddings given to another speaker than their own (best one-to-one
// match), the stage's time and peak memory, and its warm start: the
// clusters VBx began from (as many as the threshold's cut leaves, unless
// embeddings × clusters would pass what VBx may hold), the cut's own count,
// and the speakers VBx finds from a warm start cut to at most 256 clusters
// instead. BM_RepeatedMeeting plays the 20 minutes 3, 9 and 24 times over
// (each embedding again with 5 % noise): nothing new is said.
//
// BM_RealMeeting runs the stage on the real x-vectors of a four-person
// meeting (../shared/data/meeting-xvectors beside the project; see
// tests/engine/Diarizer/RealMeeting.h) once, and heard 16 times over (16,400
// embeddings, each copy with 2 % noise: a three-hour recording's worth),
// under each preset: the speakers found, the diarization error of the first
// hearing, the stage's wall time, the processor time of all its threads and
// its peak memory.
#include "BenchSupport.h"
#include "Diarizer/FastClusterWrapper/FastClusterWrapper.h"
#include "Diarizer/Offline/Clustering/AHCClustering.h"
#include "Diarizer/Offline/Clustering/SpeakerClusteringStage.h"
#include "Diarizer/Offline/Clustering/VBxClustering.h"
#include "engine/Diarizer/MeetingEmbeddings.h"
#include "engine/Diarizer/RealMeeting.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sched.h>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>

using namespace voxtrellis;

namespace {

// Voice vectors of 40 speakers with per-turn noise; PLDA features are each
// speaker's scaled centre plus unit within-speaker noise, as VBx models them.
std::vector<TimedEmbedding> embeddings(std::size_t n) {
  std::mt19937_64 generator(12345);
  std::normal_distribution<float> normal;
  const int speakers = 40;
  std::vector<std::vector<float>> centres(speakers, std::vector<float>(256));
  for (auto& c : centres) {
    for (auto& v : c) v = normal(generator);
  }
  std::vector<TimedEmbedding> result(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto& e = result[i];
    e.chunkIndex = static_cast<int>(i / 3);
    e.speakerIndex = static_cast<int>(i % 3);
    const auto& centre = centres[(i / 7) % speakers];
    e.embedding256.resize(256);
    for (int d = 0; d < 256; ++d) e.embedding256[d] = centre[d] + 0.6f * normal(generator);
    e.rho128.resize(128);
    for (int d = 0; d < 128; ++d) e.rho128[d] = 4.0 * centre[d] + normal(generator);
  }
  return result;
}

// Seconds SciPy's linkage(method="centroid") takes on the rows, or a
// negative value when SciPy is not available.
double scipySeconds(const std::vector<double>& rows, std::size_t dim) {
  const auto dir = std::filesystem::temp_directory_path();
  const auto input = dir / "pv-bench-rows.bin";
  const auto output = dir / "pv-bench-seconds.txt";
  std::ofstream(input, std::ios::binary)
      .write(reinterpret_cast<const char*>(rows.data()), static_cast<std::streamsize>(rows.size() * sizeof(double)));
  const std::string script =
      "import numpy as np, sys, time; from scipy.cluster.hierarchy import linkage; "
      "x = np.fromfile(sys.argv[1], dtype=np.float64).reshape(-1, " +
      std::to_string(dim) +
      "); "
      "t = time.perf_counter(); linkage(x, method='centroid'); "
      "open(sys.argv[2], 'w').write(str(time.perf_counter() - t))";
  const std::string command = "OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MKL_NUM_THREADS=1 /usr/bin/python3 -c \"" +
                              script + "\" '" + input.string() + "' '" + output.string() + "'";
  const int status = std::system(command.c_str());
  std::filesystem::remove(input);
  if (status != 0) return -1;
  double seconds = -1;
  std::ifstream(output) >> seconds;
  std::filesystem::remove(output);
  return seconds;
}

// Pins the calling thread, and what it starts from now on, to its first
// allowed core; gives the old mask back when it goes.
class OneCore {
 public:
  OneCore() {
    sched_getaffinity(0, sizeof(m_saved), &m_saved);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int c = 0; c < CPU_SETSIZE; ++c) {
      if (CPU_ISSET(c, &m_saved)) {
        CPU_SET(c, &one);
        break;
      }
    }
    sched_setaffinity(0, sizeof(one), &one);
  }
  ~OneCore() { sched_setaffinity(0, sizeof(m_saved), &m_saved); }
  OneCore(const OneCore&) = delete;
  OneCore& operator=(const OneCore&) = delete;

 private:
  cpu_set_t m_saved{};
};

void BM_Clustering(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto timed = embeddings(n);
  SegmentationOutput segmentation;
  segmentation.numChunks = static_cast<int>(n / 3 + 1);
  segmentation.numSpeakers = 3;
  const OfflineDiarizerConfig config;
  const std::vector<double> psi(128, 1.0);

  // The unit-length rows the linkage sees.
  std::vector<double> rows(n * 256);
  for (std::size_t i = 0; i < n; ++i) {
    double norm = 0;
    for (float v : timed[i].embedding256) norm += static_cast<double>(v) * v;
    for (int d = 0; d < 256; ++d) rows[i * 256 + d] = timed[i].embedding256[d] / std::sqrt(norm);
  }

  for (auto _ : state) {
    const double before = bench::currentMiB();
    bench::resetPeak();
    auto start = std::chrono::steady_clock::now();
    std::vector<double> out(4 * (n - 1));
    const int status = fastcluster_compute_centroid_linkage(rows.data(), n, 256, out.data(), out.size());
    const double linkageSeconds = bench::seconds(start);
    const double linkagePeak = bench::peakMiB() - before;
    out = {};

    bench::resetPeak();
    start = std::chrono::steady_clock::now();
    const auto result = SpeakerClusteringStage::run(timed, segmentation, config, psi);
    const double stageSeconds = bench::seconds(start);
    state.SetIterationTime(stageSeconds);
    state.counters["linkage_s"] = linkageSeconds;
    state.counters["linkage_status"] = status;
    state.counters["linkage_peak_MiB"] = linkagePeak;
    state.counters["stage_s"] = stageSeconds;
    state.counters["stage_peak_MiB"] = bench::peakMiB() - before;
    state.counters["speakers"] = static_cast<double>(result.centroids.size());
    if (status != kFastClusterOk || result.centroids.size() != 40) {
      state.SkipWithError(("expected 40 speakers and linkage status 0, got " + std::to_string(result.centroids.size()) +
                           " speakers, status " + std::to_string(status))
                              .c_str());
      break;
    }
    const OneCore pinned;
    start = std::chrono::steady_clock::now();
    out.assign(4 * (n - 1), 0.0);
    // No scan is split over worker threads, and the one-off start-up
    // threads share the pinned core.
    fastclusterCentroidLinkage(rows.data(), n, 256, out.data(), out.size(), SIZE_MAX);
    const double oneThread = bench::seconds(start);
    out = {};
    state.counters["linkage_1t_s"] = oneThread;
    // SciPy's condensed distance matrix needs n² / 2 doubles (with its
    // working copies about three times that).
    const double scipyBytes = static_cast<double>(n) * static_cast<double>(n) / 2 * 8 * 3;
    if (scipyBytes < 8.0 * 1024 * 1024 * 1024) {
      const double scipy = scipySeconds(rows, 256);
      if (scipy > 0) {
        state.counters["scipy_linkage_1t_s"] = scipy;
        state.counters["scipy_over_ours_1t"] = scipy / oneThread;
      }
    }
  }
}

// The share of embeddings whose speaker is not the one matched to their true
// voice, speakers and voices matched one to one by most embeddings shared.
double wrongShare(const std::vector<int>& assignments, const std::vector<int>& truth) {
  std::map<std::pair<int, int>, int> shared;
  for (std::size_t i = 0; i < assignments.size(); ++i) ++shared[{assignments[i], truth[i]}];
  std::vector<std::pair<int, std::pair<int, int>>> cells;
  for (const auto& [pair, count] : shared) cells.push_back({count, pair});
  std::sort(cells.rbegin(), cells.rend());
  std::set<int> speakers, voices;
  double right = 0;
  for (const auto& [count, pair] : cells) {
    if (speakers.count(pair.first) || voices.count(pair.second)) continue;
    speakers.insert(pair.first);
    voices.insert(pair.second);
    right += count;
  }
  return assignments.empty() ? 0 : 1 - right / static_cast<double>(assignments.size());
}

const diarizertest::Preset& presetOf(const benchmark::State& state) {
  static const diarizertest::Preset presets[] = {diarizertest::kFewerSpeakers, diarizertest::kBalanced,
                                                 diarizertest::kMoreSpeakers};
  return presets[state.range(1)];
}

void runMeeting(benchmark::State& state, const diarizertest::Meeting& meeting, bool compareCap) {
  const auto& preset = presetOf(state);
  for (auto _ : state) {
    // Memory freed by earlier runs goes back to the system first, so that
    // what the stage takes shows in the peak.
    malloc_trim(0);
    const double before = bench::currentMiB();
    bench::resetPeak();
    const auto start = std::chrono::steady_clock::now();
    const auto result = diarizertest::cluster(meeting, preset);
    state.SetIterationTime(bench::seconds(start));
    state.counters["stage_peak_MiB"] = bench::peakMiB() - before;
    state.counters["speakers"] = static_cast<double>(result.centroids.size());
    state.counters["wrong_pct"] = 100 * wrongShare(result.assignments, meeting.speakerOf);
  }
  state.counters["voices"] = meeting.speakers;
  state.counters["embeddings"] = static_cast<double>(meeting.embeddings.size());
  if (!compareCap) return;
  std::vector<std::vector<double>> rows, rho;
  for (const auto& e : meeting.embeddings) {
    rows.emplace_back(e.embedding256.begin(), e.embedding256.end());
    rho.push_back(e.rho128);
  }
  const auto n = rows.size();
  state.counters["starting_clusters"] = static_cast<double>(AHCClustering::clusterCount(
      AHCClustering().cluster(rows, preset.threshold, VBxClustering::maxStartingClusters(n))));
  state.counters["cut_clusters"] =
      static_cast<double>(AHCClustering::clusterCount(AHCClustering().cluster(rows, preset.threshold)));
  const auto config = diarizertest::configOf(preset);
  const auto capped = AHCClustering().cluster(rows, preset.threshold, 256);
  state.counters["speakers_from_256"] =
      VBxClustering::keptSpeakers(VBxClustering(config, meeting.psi).refine(rho, capped));
}

void BM_Meeting(benchmark::State& state) {
  runMeeting(state, diarizertest::meeting(static_cast<double>(state.range(0)), 1), true);
}

void BM_RepeatedMeeting(benchmark::State& state) {
  runMeeting(state, diarizertest::repeated(diarizertest::meeting(20, 1), static_cast<int>(state.range(0)), 2), false);
}

// Processor seconds of the whole process, every thread.
double processorSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

void BM_RealMeeting(benchmark::State& state) {
  if (!diarizertest::RealMeeting::available()) {
    state.SkipWithError(diarizertest::RealMeeting::missingMessage().c_str());
    return;
  }
  const diarizertest::RealMeeting meeting;
  const int copies = static_cast<int>(state.range(0));
  const auto embeddings = meeting.heard(copies, copies > 1 ? 0.02 : 0.0, 7);
  const auto config = diarizertest::configOf(presetOf(state));
  for (auto _ : state) {
    malloc_trim(0);
    const double before = bench::currentMiB();
    bench::resetPeak();
    const double processorBefore = processorSeconds();
    const auto start = std::chrono::steady_clock::now();
    const auto result =
        SpeakerClusteringStage::run(embeddings, diarizertest::RealMeeting::windowsOf(embeddings), config, meeting.psi);
    state.SetIterationTime(bench::seconds(start));
    state.counters["processor_s"] = processorSeconds() - processorBefore;
    state.counters["stage_peak_MiB"] = bench::peakMiB() - before;
    state.counters["speakers"] = static_cast<double>(result.centroids.size());
    state.counters["DER_pct"] = 100 * meeting.diarizationError(result.assignments);
  }
  state.counters["embeddings"] = static_cast<double>(embeddings.size());
}

}  // namespace

BENCHMARK(BM_RealMeeting)
    ->ArgsProduct({{1, 16}, {0, 1, 2}})
    ->ArgNames({"copies", "preset"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Meeting)
    ->ArgsProduct({{20, 60, 180, 480}, {0, 1, 2}})
    ->ArgNames({"minutes", "preset"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_RepeatedMeeting)
    ->ArgsProduct({{3, 9, 24}, {0, 1, 2}})
    ->ArgNames({"copies", "preset"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Clustering)
    ->Arg(1000)
    ->Arg(5000)
    ->Arg(15000)
    ->Arg(30000)
    ->Arg(50000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
