#pragma once

#include <string>

namespace voxtrellis {

// Which processors a model may run on. The names follow the accelerator-aware
// platforms the models were designed for; on this platform every value runs on
// the CPU and they differ only in how many threads a model may use.
enum class ComputeUnits { cpuOnly, cpuAndGPU, all, cpuAndNeuralEngine };

// The value's name as it appears in logs ("cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine");
// a raw number outside the four reads "unknown(N)".
std::string computeUnitsName(ComputeUnits units);

}  // namespace voxtrellis
