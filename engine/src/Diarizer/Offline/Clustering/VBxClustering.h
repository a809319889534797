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
// starting clusters exceed kMaxResponsibilities, before allocating anything,
// and DiarizationCancelled at the next iteration (VBx or K-means) once
// `cancellation` (when given) is set.
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

  // The speaker regularisation of a recording of `frames` embeddings: Fb up
  // to kFullEvidenceFrames embeddings (about seventeen minutes of the
  // pipeline's windows), then grown in proportion to the length. VBx counts
  // every embedding as evidence of its own, while a speaker costs Fb
  // whatever the length: under a fixed Fb the same voices heard for longer
  // buy more speakers, since a real voice is no single Gaussian in the PLDA
  // space and enough of it pays for a split. Fb × k is exactly the model with
  // every embedding counted 1/k times (k copies of a recording under k·Fb
  // have k times its ELBO at every iteration, with the same
  // responsibilities): past kFullEvidenceFrames a recording weighs as that
  // many embeddings, each embedding as its share, so copies of one meeting
  // weigh as the meeting. Below it the evidence grows with the embeddings as
  // the model has it: a short recording has not said enough of its voices to
  // be weighed as less.
  static constexpr double kFullEvidenceFrames = 1000;
  static double speakerRegularisation(double Fb, std::size_t frames);

  // The weight at or below which a speaker holds no frame: VBx drops such a
  // speaker during its iterations, and it is no speaker of the result.
  static constexpr double kNegligibleWeight = VBxModel::kNegligibleWeight;
  // Speakers VBx kept: those with a weight above kNegligibleWeight (the
  // starting cluster count when there are no weights).
  static int keptSpeakers(const VBxOutput& output);

  VBxClustering(OfflineDiarizerConfig config, std::vector<double> psi, const CancellationFlag* cancellation = nullptr,
                AppLogger logger = AppLogger("OfflineVBx"));

  VBxOutput refineWithConstraints(const std::vector<std::vector<double>>& rhoFeatures,
                                  const std::vector<std::vector<double>>& trainingEmbeddings,
                                  const std::vector<int>& initialClusters,
                                  const std::optional<SpeakerCountConstraints>& constraints) const;

  // VBx from the warm start under the configured Fb, then the speakers it
  // kept are judged under speakerRegularisation for the recording's length:
  // pairs of them are joined while that model's ELBO rises (see
  // joinSpeakers) and VBx goes on under it. A run no longer than
  // kFullEvidenceFrames is judged only when it stopped at its iteration limit
  // with its ELBO still moving. gamma, pi and elbos are those of the last
  // run; numClusters stays the warm-start count.
  VBxOutput refine(const std::vector<std::vector<double>>& rhoFeatures, const std::vector<int>& initialClusters) const;

  using RunResult = VBxRun;
  // The iterations themselves (VBxModel::run from the smoothed warm start and
  // equal weights). Throws ASRError::processingFailed when a size exceeds the
  // 32-bit range of the matrix routines.
  static RunResult runVBx(const std::vector<double>& features, std::size_t frameCount, std::size_t dimension,
                          const std::vector<double>& phi, std::vector<double> initialGamma, std::size_t speakerCount,
                          int maxIterations, double epsilon, double Fa, double Fb, double initSmoothing,
                          const CancellationFlag* cancellation = nullptr);

 private:
  // Joins pairs of the run's speakers while that raises `model`'s ELBO (see
  // the definition), then, when any were joined, runs VBx under `model` from
  // what is left; the number of joins.
  int joinSpeakers(const VBxModel& model, const std::vector<double>& features, std::size_t dimension,
                   RunResult& run) const;

  OfflineDiarizerConfig m_config;
  std::vector<double> m_psi;
  const CancellationFlag* m_cancellation;
  AppLogger m_logger;
};

}  // namespace voxtrellis
