#pragma once

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/OfflineDiarizerConfig.h>

#include "Diarizer/Offline/Clustering/SpeakerCountConstraints.h"
#include "Diarizer/Offline/Core/OfflineStageTypes.h"

#include <optional>
#include <vector>

namespace voxtrellis {

// Variational-Bayes refinement of warm-start clusters over PLDA features,
// with K-means when the speaker count breaks the requested bounds. Never throws.
class VBxClustering {
 public:
  VBxClustering(OfflineDiarizerConfig config, std::vector<double> psi, AppLogger logger = AppLogger("OfflineVBx"));

  VBxOutput refineWithConstraints(const std::vector<std::vector<double>>& rhoFeatures,
                                  const std::vector<std::vector<double>>& trainingEmbeddings,
                                  const std::vector<int>& initialClusters,
                                  const std::optional<SpeakerCountConstraints>& constraints) const;

  VBxOutput refine(const std::vector<std::vector<double>>& rhoFeatures, const std::vector<int>& initialClusters) const;

  struct RunResult {
    std::vector<double> gamma;  // T × S, row-major
    std::vector<double> pi;
    std::vector<double> elbos;
  };
  // The iterations themselves. Throws ASRError::processingFailed when a size
  // exceeds the 32-bit range of the matrix routines.
  static RunResult runVBx(const std::vector<double>& features, std::size_t frameCount, std::size_t dimension,
                          const std::vector<double>& phi, std::vector<double> initialGamma, std::size_t speakerCount,
                          int maxIterations, double epsilon, double Fa, double Fb, double initSmoothing);

 private:
  OfflineDiarizerConfig m_config;
  std::vector<double> m_psi;
  AppLogger m_logger;
};

}  // namespace voxtrellis
