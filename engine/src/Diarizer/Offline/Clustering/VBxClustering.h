#pragma once

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/OfflineDiarizerConfig.h>

#include "Diarizer/Offline/Clustering/SpeakerCountConstraints.h"
#include "Diarizer/Offline/Core/OfflineStageTypes.h"

#include <cstddef>
#include <optional>
#include <vector>

namespace voxtrellis {

// Variational-Bayes refinement of warm-start clusters over PLDA features,
// with K-means when the speaker count breaks the requested bounds.
// Throws OfflineDiarizationError (processingFailed) only when embeddings ×
// starting clusters exceed kMaxResponsibilities, before allocating anything.
class VBxClustering {
 public:
  // The most frames × speakers responsibilities one run may hold (about
  // 128 MB per array of doubles; a run keeps several).
  static constexpr std::size_t kMaxResponsibilities = std::size_t{1} << 24;
  // The most starting clusters a run begins with, far above any speaker
  // count a recording holds: VBx only ever empties clusters, and its time
  // grows with frames × clusters.
  static constexpr std::size_t kMaxStartingClusters = 256;
  // The most starting clusters a run over `frames` embeddings may take:
  // kMaxStartingClusters, fewer when frames × clusters would pass
  // kMaxResponsibilities (at least 1).
  static std::size_t maxStartingClusters(std::size_t frames);

  // Speakers VBx kept: those with a weight above 1e-7 (the starting cluster
  // count when there are no weights).
  static int keptSpeakers(const VBxOutput& output);

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
