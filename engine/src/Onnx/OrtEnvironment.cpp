#include "Onnx/OrtEnvironment.h"

#include <algorithm>
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

Ort::Env& ortEnvironment() {
  // Leaked on purpose: sessions may be released by static destructors after
  // main() returns, and the environment must outlive them.
  static Ort::Env* env = new Ort::Env(ORT_LOGGING_LEVEL_ERROR, "voxtrellis");
  return *env;
}

Ort::SessionOptions makeSessionOptions(ComputeUnits units) {
  Ort::SessionOptions options;
  options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  // No accelerator is available here: "cpuOnly" leaves half the cores to the
  // rest of the program, every other choice lets a model use them all.
  const int threads = units == ComputeUnits::cpuOnly ? std::max(1, cores / 2) : cores;
  options.SetIntraOpNumThreads(threads);
  options.SetInterOpNumThreads(1);
  options.SetExecutionMode(ExecutionMode::ORT_SEQUENTIAL);
  return options;
}

}  // namespace voxtrellis
