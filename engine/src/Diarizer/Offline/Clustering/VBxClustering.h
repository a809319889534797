#pragma once

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/OfflineDiarizerConfig.h>

#include "Diarizer/Offline/Clustering/SpeakerCountConstraints.h"
#include "Diarizer/Offline/Clustering/VBxModel.h"
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
  // 128 MB per array of doubles; a run keeps a few). It bounds the time of
  // an iteration as well: the two products over frames × speakers × 128
  // features stay near a second.
  static constexpr std::size_t kMaxResponsibilities = std::size_t{1} << 24;
  // The most starting clusters a run over `frames` embeddings may take: as
  // many as kMaxResponsibilities allows (at least 1). Nothing lower: VBx
  // empties clusters it does not need within its first iterations (and
  // drops them), while a warm start merged further along the tree than the
  // threshold asks joins voices VBx then cannot tell apart again.
  static std::size_t maxStartingClusters(std::size_t frames);

  // The weight at or below which a speaker holds no frame: VBx drops such a
  // speaker during its iterations, and it is no speaker of the result.
  static constexpr double kNegligibleWeight = VBxModel::kNegligibleWeight;
  // Speakers VBx kept: those with a weight above kNegligibleWeight (the
  // starting cluster count when there are no weights).
  static int keptSpeakers(const VBxOutput& output);

  VBxClustering(OfflineDiarizerConfig config, std::vector<double> psi, AppLogger logger = AppLogger("OfflineVBx"));

  VBxOutput refineWithConstraints(const std::vector<std::vector<double>>& rhoFeatures,
                                  const std::vector<std::vector<double>>& trainingEmbeddings,
                                  const std::vector<int>& initialClusters,
                                  const std::optional<SpeakerCountConstraints>& constraints) const;

  // VBx from the warm start; when that run stops at its iteration limit with
  // its ELBO still moving, pairs of speakers are joined where the ELBO says
  // so (see joinSplitVoices). gamma, pi and elbos are those of the last run;
  // numClusters stays the warm-start count.
  VBxOutput refine(const std::vector<std::vector<double>>& rhoFeatures, const std::vector<int>& initialClusters) const;

  using RunResult = VBxRun;
  // The iterations themselves (VBxModel::run from the smoothed warm start and
  // equal weights). Throws ASRError::processingFailed when a size exceeds the
  // 32-bit range of the matrix routines.
  static RunResult runVBx(const std::vector<double>& features, std::size_t frameCount, std::size_t dimension,
                          const std::vector<double>& phi, std::vector<double> initialGamma, std::size_t speakerCount,
                          int maxIterations, double epsilon, double Fa, double Fb, double initSmoothing);

 private:
  // After a run stopped at its iteration limit, joins pairs of speakers while
  // that raises the ELBO (see the definition); the number of joins.
  int joinSplitVoices(const VBxModel& model, const std::vector<double>& features, std::size_t dimension,
                      RunResult& run) const;

  OfflineDiarizerConfig m_config;
  std::vector<double> m_psi;
  AppLogger m_logger;
};

}  // namespace voxtrellis
