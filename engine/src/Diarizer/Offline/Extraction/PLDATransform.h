#pragma once

#include "Diarizer/Offline/Core/PipelineSupport.h"
#include "Diarizer/Offline/Extraction/PldaRhoModel.h"
#include "Shared/ANEMemoryOptimizer.h"

#include <voxtrellis/AppLogger.h>

#include <memory>
#include <vector>

namespace voxtrellis {

// Maps 256-value voice vectors to 128 PLDA features through the "PldaRho"
// model (input "embeddings" [n, 256], output "rho" [n, 128], n ≤ 32) and
// carries the PLDA parameter vector psi for VBx. Copies share the model and
// the buffer pool; one thread at a time per copy.
class PLDATransform {
 public:
  static constexpr int embeddingDimension = 256;
  static constexpr int rhoDimension = 128;
  static constexpr int maxBatchSize = 32;

  // The model's interface was checked when it loaded.
  PLDATransform(std::shared_ptr<PldaRhoModel> pldaRhoModel, std::vector<double> psi);

  // One 128-value row per embedding, in order; an empty list makes no model
  // call. Throws OfflineDiarizationError (invalidConfiguration for a vector
  // that is not 256 long, processingFailed for a short output), model errors,
  // DiarizationCancelled.
  std::vector<std::vector<double>> transform(const std::vector<std::vector<float>>& embeddings,
                                             const CancellationFlag* cancellation = nullptr) const;
  std::vector<double> transform(const std::vector<float>& embedding) const;

  // Cosine similarity of two 128-value feature vectors; 0 when undefined.
  double score(const std::vector<double>& a, const std::vector<double>& b) const;

  const std::vector<double>& phiParameters() const { return m_psi; }
  const std::vector<double>& psi() const { return m_psi; }

 private:
  void performWarmup() const;
  std::vector<std::vector<double>> transformBatch(const std::vector<std::vector<float>>& embeddings, std::size_t begin,
                                                  std::size_t end) const;

  std::shared_ptr<PldaRhoModel> m_model;
  std::vector<double> m_psi;
  std::shared_ptr<ANEMemoryOptimizer> m_memoryOptimizer;
  AppLogger m_logger;
};

}  // namespace voxtrellis
