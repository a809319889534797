#pragma once

#include "Onnx/OnnxModel.h"

#include <filesystem>
#include <memory>

namespace voxtrellis {

// The PLDA projection ("PldaRho.mlmodelc"): voice vectors to PLDA features.
// Checks its interface when made: input "embeddings" float32 [n, 256], output
// "rho" float32 [n, 128], n up to 32. Thread-safe like OnnxModel.
class PldaRhoModel {
 public:
  static constexpr const char* fileName = "PldaRho.mlmodelc";

  // Throws ModelRuntimeError (interfaceMismatch naming the file).
  explicit PldaRhoModel(std::shared_ptr<OnnxModel> model);
  static std::shared_ptr<PldaRhoModel> load(const std::filesystem::path& folder,
                                            ComputeUnits units = ComputeUnits::all);

  // `embeddings`: [n, 256] float32, one voice vector per row. Returns "rho"
  // (dense, row-major; the caller checks it holds n × 128 values). Throws
  // ModelRuntimeError.
  Tensor predict(const Tensor& embeddings) const;

  const OnnxModel& model() const { return *m_model; }

 private:
  std::shared_ptr<OnnxModel> m_model;
};

}  // namespace voxtrellis
