#pragma once

#include "Diarizer/Offline/Core/PipelineSupport.h"

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace voxtrellis {

// What one VBx run leaves: responsibilities, speaker weights and the ELBO of
// every iteration.
struct VBxRun {
  std::vector<double> gamma;  // T × S, row-major
  std::vector<double> pi;     // S weights summing to 1
  std::vector<double> elbos;  // one per iteration run
};

// The VBx mixture over one run's PLDA features: T frames of D features, the
// per-feature between-speaker spread phi (each at least 1e-12), the acoustic
// scale Fa and the speaker regularisation Fb. Holds the scaled features, so
// that several runs over the same frames (see VBxClustering) share them;
// runs only read it. Sizes must fit the 32-bit range (VBxClustering checks).
// Once `cancellation` (when given) is set, a run ends at its next iteration
// and a scoring at its next pair with DiarizationCancelled.
class VBxModel {
 public:
  VBxModel(const std::vector<double>& features, std::size_t frameCount, std::size_t dimension,
           const std::vector<double>& phi, double Fa, double Fb, const CancellationFlag* cancellation = nullptr);
  ~VBxModel();
  VBxModel(const VBxModel&) = delete;
  VBxModel& operator=(const VBxModel&) = delete;

  // The weight at or below which a speaker holds no frame: a run drops such
  // a speaker from its later iterations (its column of gamma and its weight
  // come back as 0), so that they cost only what is left.
  static constexpr double kNegligibleWeight = 1e-7;

  // Iterates from `gamma` (T rows of `speakerCount` responsibilities, each
  // summing to 1) and the weights `pi`, until the ELBO changes by less than
  // `epsilon` from the second iteration on, or `maxIterations` are done.
  VBxRun run(std::vector<double> gamma, std::vector<double> pi, std::size_t speakerCount, int maxIterations,
             double epsilon) const;

  // The ELBO one iteration from `gamma` and `pi` reaches, and for each pair
  // of speakers (columns, each pair two different ones) the ELBO one
  // iteration reaches from the two joined into one, as `run` would give
  // them. A pair costs T × (speakers + features), not a whole iteration.
  struct JoinScores {
    double unjoined = 0;
    std::vector<double> joined;  // one per pair
  };
  JoinScores scoreJoins(const std::vector<double>& gamma, const std::vector<double>& pi, std::size_t speakerCount,
                        const std::vector<std::pair<std::size_t, std::size_t>>& pairs) const;

 private:
  struct Data;
  std::unique_ptr<Data> m_data;
};

}  // namespace voxtrellis
