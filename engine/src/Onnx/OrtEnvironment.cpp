#include "Onnx/OrtEnvironment.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>

namespace voxtrellis {

std::string computeUnitsName(ComputeUnits units) {
  switch (units) {
    case ComputeUnits::cpuOnly: return "cpuOnly";
    case ComputeUnits::cpuAndGPU: return "cpuAndGPU";
    case ComputeUnits::all: return "all";
    case ComputeUnits::cpuAndNeuralEngine: return "cpuAndNeuralEngine";
  }
  return "unknown(" + std::to_string(static_cast<int>(units)) + ")";
}

int lightPoolThreads() {
  return static_cast<int>(std::min(2u, std::max(1u, std::thread::hardware_concurrency())));
}

Ort::Env& ortEnvironment() {
  // Leaked on purpose: sessions may be released by static destructors after
  // main() returns, and the environment must outlive them.
  static Ort::Env* env = [] {
    // The pool of the sessions whose settings ask for the shared one.
    Ort::ThreadingOptions pool;
    pool.SetGlobalIntraOpNumThreads(lightPoolThreads());
    pool.SetGlobalInterOpNumThreads(1);
    pool.SetGlobalSpinControl(1);
    return new Ort::Env(pool, ORT_LOGGING_LEVEL_ERROR, "voxtrellis");
  }();
  return *env;
}

int intraOpThreads(ComputeUnits units, ModelCost cost) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  // No accelerator is available here: "cpuOnly" leaves half the cores to the
  // rest of the program, every other choice lets a model use them all.
  const int granted = units == ComputeUnits::cpuOnly ? std::max(1, cores / 2) : cores;
  // A per-step call is a few matrix-vector products: past two threads the
  // hand-over costs more than the split saves.
  return cost == ModelCost::perStep ? std::min(granted, 2) : granted;
}

namespace {
std::mutex g_overrideMutex;
std::map<ModelCost, ThreadSettings> g_overrides;
}  // namespace

void overrideThreadSettings(ModelCost cost, std::optional<ThreadSettings> settings) {
  std::lock_guard lock(g_overrideMutex);
  if (settings) {
    g_overrides[cost] = *settings;
  } else {
    g_overrides.erase(cost);
  }
}

ThreadSettings threadSettings(ComputeUnits units, ModelCost cost) {
  {
    std::lock_guard lock(g_overrideMutex);
    if (const auto found = g_overrides.find(cost); found != g_overrides.end()) return found->second;
  }
  const int threads = intraOpThreads(units, cost);
  if (cost == ModelCost::heavy) return {threads, true, false};
  // One thread needs no pool at all.
  return threads > 1 ? ThreadSettings{lightPoolThreads(), true, true} : ThreadSettings{1, false, false};
}

Ort::SessionOptions makeSessionOptions(ComputeUnits units, ModelCost cost) {
  return makeSessionOptions(threadSettings(units, cost));
}

Ort::SessionOptions makeSessionOptions(const ThreadSettings& threads) {
  Ort::SessionOptions options;
  options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  options.SetExecutionMode(ExecutionMode::ORT_SEQUENTIAL);
  if (threads.sharedPool) {
    options.DisablePerSessionThreads();
    return options;
  }
  options.SetIntraOpNumThreads(threads.intraOpThreads);
  options.AddConfigEntry("session.intra_op.allow_spinning", threads.spinning ? "1" : "0");
  options.SetInterOpNumThreads(1);
  return options;
}

}  // namespace voxtrellis
