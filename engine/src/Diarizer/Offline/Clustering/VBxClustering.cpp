#include "Diarizer/Offline/Clustering/VBxClustering.h"

#include "Diarizer/Offline/Clustering/KMeansClustering.h"
#include "Diarizer/Offline/Clustering/VBxModel.h"
#include "Diarizer/Offline/Utils/NumberFormat.h"

#include <voxtrellis/ASRError.h>
#include <voxtrellis/OfflineDiarizationError.h>

#include <Eigen/Core>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <tuple>

namespace voxtrellis {

namespace {
using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
constexpr int kKMeansStarts = 5;

// Normalises a row in place to sum 1; a sum that is not a finite positive
// number gives the uniform distribution instead of spreading NaN.
template <class Row>
void normaliseRow(Row&& row) {
  const double sum = row.sum();
  if (std::isfinite(sum) && sum > 0)
    row /= sum;
  else
    row.setConstant(1.0 / static_cast<double>(row.size()));
}

// True when the run ended because its ELBO settled (changed by less than
// epsilon), not because it reached its iteration limit.
bool settled(const std::vector<double>& elbos, double epsilon) {
  return elbos.size() >= 2 && std::fabs(elbos.back() - elbos[elbos.size() - 2]) < epsilon;
}

// The speakers a run kept (weight above kNegligibleWeight), by column.
std::vector<std::size_t> keptColumns(const VBxRun& run) {
  std::vector<std::size_t> kept;
  for (std::size_t s = 0; s < run.pi.size(); ++s) {
    if (run.pi[s] > VBxModel::kNegligibleWeight) kept.push_back(s);
  }
  return kept;
}

// The run restricted to `columns` (T × columns.size() responsibilities and
// their weights, rows and weights summing to 1 again), with each pair of
// `joins` (indices into `columns`, no index twice) joined into its first:
// the responsibilities and the starting clusters (`held`) of what is left.
struct Columns {
  VBxRun part;
  std::vector<std::size_t> held;
};
Columns takeColumns(const VBxRun& run, const std::vector<std::size_t>& columns,
                    const std::vector<std::pair<std::size_t, std::size_t>>& joins = {}) {
  const std::size_t S = run.pi.size(), T = run.gamma.size() / std::max<std::size_t>(S, 1);
  std::vector<bool> joinedAway(columns.size(), false);
  for (const auto& [a, b] : joins) joinedAway[b] = true;
  std::vector<std::size_t> into(columns.size());
  Columns result;
  for (std::size_t k = 0; k < columns.size(); ++k) {
    if (joinedAway[k]) continue;
    into[k] = result.held.size();
    result.held.push_back(columns[k]);
  }
  for (const auto& [a, b] : joins) into[b] = into[a];
  const std::size_t width = result.held.size();
  VBxRun& part = result.part;
  part.gamma.assign(T * width, 0.0);
  part.pi.assign(width, 0.0);
  for (std::size_t t = 0; t < T; ++t) {
    double sum = 0;
    for (std::size_t k = 0; k < columns.size(); ++k) {
      const double g = run.gamma[t * S + columns[k]];
      part.gamma[t * width + into[k]] += g;
      sum += g;
    }
    for (std::size_t j = 0; j < width && sum > 0; ++j) part.gamma[t * width + j] /= sum;
  }
  double total = 0;
  for (std::size_t k = 0; k < columns.size(); ++k) total += run.pi[columns[k]];
  for (std::size_t k = 0; k < columns.size(); ++k) part.pi[into[k]] += run.pi[columns[k]] / total;
  return result;
}

// Puts `part` (one column per entry of `columns`) back as the whole run over
// S columns, zero elsewhere.
void putColumns(VBxRun& run, const std::vector<std::size_t>& columns, VBxRun part) {
  const std::size_t S = run.pi.size(), T = run.gamma.size() / std::max<std::size_t>(S, 1), K = columns.size();
  std::fill(run.gamma.begin(), run.gamma.end(), 0.0);
  std::fill(run.pi.begin(), run.pi.end(), 0.0);
  for (std::size_t k = 0; k < K; ++k) {
    for (std::size_t t = 0; t < T; ++t) run.gamma[t * S + columns[k]] = part.gamma[t * K + k];
    run.pi[columns[k]] = part.pi[k];
  }
  run.elbos = std::move(part.elbos);
}

// Each speaker with its nearest other by mean features (responsibility-
// weighted), nearest pairs first, each pair once (lower index first).
std::vector<std::pair<std::size_t, std::size_t>> nearestPairs(const VBxRun& part, const std::vector<double>& X,
                                                              std::size_t D) {
  const auto K = static_cast<Eigen::Index>(part.pi.size());
  const auto t_ = static_cast<Eigen::Index>(part.gamma.size()) / std::max<Eigen::Index>(K, 1);
  const Eigen::Map<const RowMatrix> gamma(part.gamma.data(), t_, K);
  RowMatrix means = gamma.transpose() * Eigen::Map<const RowMatrix>(X.data(), t_, static_cast<Eigen::Index>(D));
  for (Eigen::Index k = 0; k < K; ++k) means.row(k) /= std::max(gamma.col(k).sum(), 1e-12);
  std::vector<std::tuple<double, std::size_t, std::size_t>> pairs;
  for (Eigen::Index a = 0; a < K; ++a) {
    double best = std::numeric_limits<double>::infinity();
    Eigen::Index nearest = -1;
    for (Eigen::Index b = 0; b < K; ++b) {
      const double distance = (means.row(b) - means.row(a)).squaredNorm();
      if (b != a && distance < best) {
        best = distance;
        nearest = b;
      }
    }
    if (nearest >= 0) {
      pairs.emplace_back(best, static_cast<std::size_t>(std::min(a, nearest)),
                         static_cast<std::size_t>(std::max(a, nearest)));
    }
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  std::vector<std::pair<std::size_t, std::size_t>> result;
  for (const auto& [distance, a, b] : pairs) result.emplace_back(a, b);
  return result;
}
}  // namespace

// VBx gives a frame to clusters by their weights and likelihoods, and two
// clusters that hold parts of one voice are nearly alike in both, so they
// part slowly: the more frames, the more iterations it takes (a three-hour
// file needs several times the usual limit), and a run stopped at its limit
// still holds such pairs as separate speakers. The same holds when the
// speakers a run found are judged under a larger Fb than they were found
// with: VBx would take many iterations to empty the speakers the model no
// longer pays for. The model's own bound does the work. Each kept speaker is
// paired with its nearest other; a pair passes when one iteration from the
// two clusters joined reaches a higher ELBO than one iteration without the
// join. The passing pairs are joined together, best first and no speaker
// twice (the best alone when together they fall short), and the round
// repeats until no pair passes or the rounds have cost what the run itself
// was allowed; VBx then goes on from the joined clusters.
int VBxClustering::joinSpeakers(const VBxModel& model, const std::vector<double>& X, std::size_t D,
                                RunResult& run) const {
  const double epsilon = m_config.vbx.convergenceTolerance;
  // Counted in iterations over one speaker: the run was allowed its
  // iteration limit over all starting clusters (it drops most of them
  // within a few), and a round costs about three iterations over what is left.
  std::size_t budget = static_cast<std::size_t>(std::max(m_config.vbx.maxIterations, 0)) * run.pi.size();
  int joins = 0;
  for (;;) {
    const auto kept = keptColumns(run);
    const std::size_t K = kept.size();
    if (K < 2 || budget < 3 * K) break;
    budget -= 3 * K;
    const VBxRun now = takeColumns(run, kept).part;
    const auto pairs = nearestPairs(now, X, D);
    const auto scores = model.scoreJoins(now.gamma, now.pi, K, pairs);
    std::vector<std::size_t> passing;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (scores.joined[i] > scores.unjoined) passing.push_back(i);
    }
    std::sort(passing.begin(), passing.end(),
              [&](std::size_t x, std::size_t y) { return scores.joined[x] > scores.joined[y]; });
    std::vector<std::pair<std::size_t, std::size_t>> chosen;
    std::vector<bool> taken(K, false);
    for (std::size_t i : passing) {
      const auto [a, b] = pairs[i];
      if (taken[a] || taken[b]) continue;
      taken[a] = taken[b] = true;
      chosen.push_back(pairs[i]);
    }
    if (chosen.empty()) break;
    auto joined = takeColumns(run, kept, chosen);
    auto trial = model.run(std::move(joined.part.gamma), std::move(joined.part.pi), joined.held.size(), 1, epsilon);
    if (chosen.size() > 1 && !(trial.elbos.back() > scores.unjoined)) {
      chosen.resize(1);
      joined = takeColumns(run, kept, chosen);
      trial = model.run(std::move(joined.part.gamma), std::move(joined.part.pi), joined.held.size(), 1, epsilon);
    }
    putColumns(run, joined.held, std::move(trial));
    joins += static_cast<int>(chosen.size());
  }
  if (joins > 0) {
    const auto kept = keptColumns(run);
    VBxRun start = takeColumns(run, kept).part;
    putColumns(
        run, kept,
        model.run(std::move(start.gamma), std::move(start.pi), kept.size(), m_config.vbx.maxIterations, epsilon));
  }
  return joins;
}

std::size_t VBxClustering::maxStartingClusters(std::size_t frames) {
  return std::max<std::size_t>(kMaxResponsibilities / std::max<std::size_t>(frames, 1), 1);
}

double VBxClustering::speakerRegularisation(double Fb, std::size_t frames) {
  return Fb * std::max(1.0, static_cast<double>(frames) / kFullEvidenceFrames);
}

int VBxClustering::keptSpeakers(const VBxOutput& output) {
  if (output.pi.empty()) return output.numClusters;
  return static_cast<int>(
      std::count_if(output.pi.begin(), output.pi.end(), [](double w) { return w > kNegligibleWeight; }));
}

VBxClustering::VBxClustering(OfflineDiarizerConfig config, std::vector<double> psi,
                             const CancellationFlag* cancellation, AppLogger logger)
    : m_config(std::move(config)), m_psi(std::move(psi)), m_cancellation(cancellation), m_logger(std::move(logger)) {}

VBxOutput VBxClustering::refineWithConstraints(const std::vector<std::vector<double>>& rhoFeatures,
                                               const std::vector<std::vector<double>>& trainingEmbeddings,
                                               const std::vector<int>& initialClusters,
                                               const std::optional<SpeakerCountConstraints>& constraints) const {
  VBxOutput out = refine(rhoFeatures, initialClusters);
  if (!constraints) return out;
  // VBx can empty a starting cluster but never adds one: the bounds hold for
  // the speakers it kept (weight above kNegligibleWeight), the ones that get
  // a centroid.
  const int k = keptSpeakers(out);
  int target;
  if (k < constraints->minSpeakers)
    target = constraints->minSpeakers;
  else if (k > constraints->maxSpeakers)
    target = constraints->maxSpeakers;
  else
    return out;
  m_logger.info("Speaker count " + std::to_string(k) + " outside bounds [" + std::to_string(constraints->minSpeakers) +
                ", " + std::to_string(constraints->maxSpeakers) + "]; re-clustering to " + std::to_string(target));
  auto kmeans = KMeansClustering::clusterBestOfStarts(trainingEmbeddings, target, 100, kKMeansStarts, m_cancellation);
  out.hardClusters = {kmeans.clusters};
  out.centroids = std::move(kmeans.centroids);
  out.numClusters = target;
  out.wasAdjusted = true;
  out.originalClusterCount = k;
  return out;
}

VBxOutput VBxClustering::refine(const std::vector<std::vector<double>>& rhoFeatures,
                                const std::vector<int>& initialClusters) const {
  const std::size_t T = rhoFeatures.size();
  if (T == 0) return {};
  const std::size_t D = rhoFeatures.front().size();
  if (D == 0) {
    m_logger.error("VBx received empty feature vectors");
    return {};
  }
  std::vector<double> phi = m_psi;
  if (phi.size() != D) {
    m_logger.warning("PLDA psi dimension (" + std::to_string(m_psi.size()) + ") mismatches rho dimension (" +
                     std::to_string(D) + "); falling back to identity");
    phi.assign(D, 1.0);
  }
  std::map<int, int> histogram;
  for (int label : initialClusters) ++histogram[label];
  const std::size_t S = std::max<std::size_t>(histogram.size(), 1);
  // Several frames × clusters arrays live at once; a warm start with about as
  // many clusters as embeddings (a threshold near 0) on a long file would
  // exhaust memory, so it is refused before anything is allocated.
  if (T > kMaxResponsibilities / S) {
    throw OfflineDiarizationError::processingFailed("VBx would need " + std::to_string(T) + " embeddings × " +
                                                    std::to_string(S) + " starting clusters, more than the " +
                                                    std::to_string(kMaxResponsibilities) +
                                                    " it can hold; raise the clustering threshold");
  }
  m_logger.debug("VBx warm start clusters: " + std::to_string(S) +
                 " histogram: " + diarization::histogramText(histogram));

  std::vector<double> X(T * D, 0.0);
  for (std::size_t t = 0; t < T; ++t) {
    const auto& row = rhoFeatures[t];
    std::copy_n(row.begin(), std::min(D, row.size()), X.begin() + static_cast<std::ptrdiff_t>(t * D));
  }
  const auto warmStart = [&] {
    std::vector<double> gamma0(T * S, 0.0);
    if (initialClusters.empty()) {
      std::fill(gamma0.begin(), gamma0.end(), 1.0 / static_cast<double>(S));
    } else {
      for (std::size_t t = 0; t < initialClusters.size() && t < T; ++t) {
        const int label = std::clamp(initialClusters[t], 0, static_cast<int>(S) - 1);
        gamma0[t * S + static_cast<std::size_t>(label)] = 1.0;
      }
    }
    return gamma0;
  };

  RunResult run;
  const auto& c = m_config;
  const double Fa = c.clustering.warmStartFa, Fb = c.clustering.warmStartFb;
  try {
    // The starting clusters are refined under the configured Fb: thousands
    // of clusters of a few embeddings each, which a larger Fb would shrink
    // towards the prior mean until whole voices fall into their neighbours.
    run = runVBx(X, T, D, phi, warmStart(), S, c.vbx.maxIterations, c.vbx.convergenceTolerance, Fa, Fb, 7.0,
                 m_cancellation);
    const double recordingFb = speakerRegularisation(Fb, T);
    if (recordingFb > Fb) {
      const int joins = joinSpeakers(VBxModel(X, T, D, phi, Fa, recordingFb, m_cancellation), X, D, run);
      m_logger.debug("VBx weighed " + std::to_string(T) + " embeddings as " +
                     diarization::shortest(kFullEvidenceFrames) + " (Fb " + diarization::shortest(recordingFb) +
                     "); joined " + std::to_string(joins) + " pairs of speakers");
    } else if (!run.elbos.empty() && !settled(run.elbos, c.vbx.convergenceTolerance)) {
      const int joins = joinSpeakers(VBxModel(X, T, D, phi, Fa, Fb, m_cancellation), X, D, run);
      m_logger.debug("VBx stopped at its iteration limit; joined " + std::to_string(joins) + " pairs of speakers");
    }
  } catch (const DiarizationCancelled&) {
    throw;
  } catch (const std::exception& error) {
    m_logger.error(std::string("VBx failed to prepare BLAS arguments: ") + error.what());
    run.gamma = warmStart();
    run.pi.assign(S, 1.0 / static_cast<double>(S));
    run.elbos.clear();
  }

  VBxOutput out;
  out.gamma.resize(T);
  std::vector<int> labels(T, 0);
  for (std::size_t t = 0; t < T; ++t) {
    out.gamma[t].assign(run.gamma.begin() + static_cast<std::ptrdiff_t>(t * S),
                        run.gamma.begin() + static_cast<std::ptrdiff_t>((t + 1) * S));
    if (S >= 2) {
      labels[t] = static_cast<int>(std::max_element(out.gamma[t].begin(), out.gamma[t].end()) - out.gamma[t].begin());
    }
  }
  if (run.pi.empty()) {
    m_logger.debug("VBx mixture weights unavailable");
  } else {
    const auto [minIt, maxIt] = std::minmax_element(run.pi.begin(), run.pi.end());
    m_logger.debug("VBx mixture weights \u2013 min: " + diarization::shortest(*minIt) +
                   ", max: " + diarization::shortest(*maxIt) + ", count: " + std::to_string(run.pi.size()));
  }
  out.pi = std::move(run.pi);
  out.hardClusters = {labels};
  out.numClusters = static_cast<int>(S);
  out.elbos = std::move(run.elbos);
  return out;
}

VBxClustering::RunResult VBxClustering::runVBx(const std::vector<double>& features, std::size_t T, std::size_t D,
                                               const std::vector<double>& phi, std::vector<double> initialGamma,
                                               std::size_t S, int maxIterations, double epsilon, double Fa, double Fb,
                                               double initSmoothing, const CancellationFlag* cancellation) {
  constexpr std::size_t kInt32Max = static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
  if (T > kInt32Max) throw ASRError::processingFailed("VBx frame count exceeds supported range");
  if (S > kInt32Max) throw ASRError::processingFailed("VBx speaker count exceeds supported range");
  if (D > kInt32Max) throw ASRError::processingFailed("VBx feature dimension exceeds supported range");
  Eigen::Map<RowMatrix> gamma(initialGamma.data(), static_cast<Eigen::Index>(T), static_cast<Eigen::Index>(S));
  for (Eigen::Index t = 0; t < gamma.rows(); ++t) {
    auto row = gamma.row(t);
    if (initSmoothing >= 0) {
      const double m = row.maxCoeff();
      // exp(initSmoothing·v − max) equals exp(initSmoothing·(v − max v)) for a positive factor.
      row = ((row.array() - m) * initSmoothing).exp().matrix();
      normaliseRow(row);
    }
    normaliseRow(row);
  }
  return VBxModel(features, T, D, phi, Fa, Fb, cancellation)
      .run(std::move(initialGamma), std::vector<double>(S, 1.0 / static_cast<double>(S)), S, maxIterations, epsilon);
}

}  // namespace voxtrellis
