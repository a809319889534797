#include "Diarizer/Offline/Clustering/VBxClustering.h"

#include "Diarizer/Offline/Clustering/KMeansClustering.h"
#include "Diarizer/Offline/Utils/NumberFormat.h"

#include <voxtrellis/ASRError.h>
#include <voxtrellis/OfflineDiarizationError.h>

#include <Eigen/Core>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

namespace voxtrellis {

namespace {
using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
constexpr double kLog2Pi = 1.8378770664093453;
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
}  // namespace

std::size_t VBxClustering::maxStartingClusters(std::size_t frames) {
  return std::clamp<std::size_t>(kMaxResponsibilities / std::max<std::size_t>(frames, 1), 1, kMaxStartingClusters);
}

int VBxClustering::keptSpeakers(const VBxOutput& output) {
  if (output.pi.empty()) return output.numClusters;
  return static_cast<int>(std::count_if(output.pi.begin(), output.pi.end(), [](double w) { return w > 1e-7; }));
}

VBxClustering::VBxClustering(OfflineDiarizerConfig config, std::vector<double> psi, AppLogger logger)
    : m_config(std::move(config)), m_psi(std::move(psi)), m_logger(std::move(logger)) {}

VBxOutput VBxClustering::refineWithConstraints(const std::vector<std::vector<double>>& rhoFeatures,
                                               const std::vector<std::vector<double>>& trainingEmbeddings,
                                               const std::vector<int>& initialClusters,
                                               const std::optional<SpeakerCountConstraints>& constraints) const {
  VBxOutput out = refine(rhoFeatures, initialClusters);
  if (!constraints) return out;
  // VBx can empty a starting cluster but never adds one: the bounds hold for
  // the speakers it kept (weight above 1e-7), the ones that get a centroid.
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
  auto kmeans = KMeansClustering::clusterBestOfStarts(trainingEmbeddings, target, 100, kKMeansStarts);
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
  // many clusters as embeddings (a threshold near 1) on a long file would
  // exhaust memory, so it is refused before anything is allocated.
  if (T > kMaxResponsibilities / S) {
    throw OfflineDiarizationError::processingFailed("VBx would need " + std::to_string(T) + " embeddings × " +
                                                    std::to_string(S) + " starting clusters, more than the " +
                                                    std::to_string(kMaxResponsibilities) +
                                                    " it can hold; lower the clustering threshold");
  }
  m_logger.debug("VBx warm start clusters: " + std::to_string(S) +
                 " histogram: " + diarization::histogramText(histogram));

  std::vector<double> X(T * D, 0.0);
  for (std::size_t t = 0; t < T; ++t) {
    const auto& row = rhoFeatures[t];
    std::copy_n(row.begin(), std::min(D, row.size()), X.begin() + static_cast<std::ptrdiff_t>(t * D));
  }
  std::vector<double> gamma0(T * S, 0.0);
  if (initialClusters.empty()) {
    std::fill(gamma0.begin(), gamma0.end(), 1.0 / static_cast<double>(S));
  } else {
    for (std::size_t t = 0; t < initialClusters.size() && t < T; ++t) {
      const int label = std::clamp(initialClusters[t], 0, static_cast<int>(S) - 1);
      gamma0[t * S + static_cast<std::size_t>(label)] = 1.0;
    }
  }

  RunResult run;
  try {
    run = runVBx(X, T, D, phi, gamma0, S, m_config.vbx.maxIterations, m_config.vbx.convergenceTolerance,
                 m_config.clustering.warmStartFa, m_config.clustering.warmStartFb, 7.0);
  } catch (const std::exception& error) {
    m_logger.error(std::string("VBx failed to prepare BLAS arguments: ") + error.what());
    run.gamma = gamma0;
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
                                               const std::vector<double>& phiIn, std::vector<double> initialGamma,
                                               std::size_t S, int maxIterations, double epsilon, double Fa, double Fb,
                                               double initSmoothing) {
  constexpr std::size_t kInt32Max = static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
  if (T > kInt32Max) throw ASRError::processingFailed("VBx frame count exceeds supported range");
  if (S > kInt32Max) throw ASRError::processingFailed("VBx speaker count exceeds supported range");
  if (D > kInt32Max) throw ASRError::processingFailed("VBx feature dimension exceeds supported range");
  const auto t_ = static_cast<Eigen::Index>(T);
  const auto s_ = static_cast<Eigen::Index>(S);
  const auto d_ = static_cast<Eigen::Index>(D);

  Eigen::Map<RowMatrix> gamma(initialGamma.data(), t_, s_);
  if (initSmoothing >= 0) {
    for (Eigen::Index t = 0; t < t_; ++t) {
      auto row = gamma.row(t);
      const double m = row.maxCoeff();
      row = ((row.array() - m) * initSmoothing).exp().matrix();
      // exp(initSmoothing·v − max) equals exp(initSmoothing·(v − max v)) for a positive factor.
      normaliseRow(row);
    }
  }
  for (Eigen::Index t = 0; t < t_; ++t) normaliseRow(gamma.row(t));

  Eigen::VectorXd pi = Eigen::VectorXd::Constant(s_, 1.0 / static_cast<double>(S));
  Eigen::ArrayXd phi(d_);
  for (Eigen::Index d = 0; d < d_; ++d) phi[d] = std::max(phiIn[static_cast<std::size_t>(d)], 1e-12);
  Eigen::Map<const RowMatrix> X(features.data(), t_, d_);
  const RowMatrix rho = X * phi.sqrt().matrix().asDiagonal();
  const Eigen::VectorXd G = -0.5 * (X.rowwise().squaredNorm().array() + static_cast<double>(D) * kLog2Pi).matrix();

  const double ratio = Fa / Fb;
  RowMatrix invL(s_, d_), alpha(s_, d_), logp(t_, s_);
  std::vector<double> elbos;
  double previous = -std::numeric_limits<double>::max();
  for (int iteration = 0; iteration < maxIterations; ++iteration) {
    const Eigen::VectorXd N = gamma.colwise().sum().transpose();
    for (Eigen::Index s = 0; s < s_; ++s) {
      for (Eigen::Index d = 0; d < d_; ++d) {
        const double denominator = 1.0 + ratio * N[s] * phi[d];
        invL(s, d) = denominator > 1e-12 ? 1.0 / denominator : 1e12;
      }
    }
    alpha.noalias() = gamma.transpose() * rho;
    alpha = (ratio * invL.array() * alpha.array()).matrix();
    const Eigen::VectorXd q = ((alpha.array().square() + invL.array()).rowwise() * phi.transpose()).rowwise().sum();
    logp.noalias() = rho * alpha.transpose();
    logp = (Fa * ((logp.rowwise() - 0.5 * q.transpose()).colwise() + G).array()).matrix();
    Eigen::RowVectorXd lpi(s_);
    for (Eigen::Index s = 0; s < s_; ++s) lpi[s] = std::log(std::max(pi[s], 1e-8));

    double L = 0;
    for (Eigen::Index t = 0; t < t_; ++t) {
      const Eigen::RowVectorXd v = logp.row(t) + lpi;
      const double m = v.maxCoeff();
      const Eigen::RowVectorXd e = (v.array() - m).exp().matrix();
      const double z = e.sum();
      if (std::isfinite(z) && z > 0) {
        gamma.row(t) = e / z;
        L += m + std::log(z);
      } else {
        gamma.row(t).setConstant(1.0 / static_cast<double>(S));
        L += m;
      }
    }
    pi = gamma.colwise().sum().transpose();
    const double total = pi.sum();
    if (std::isfinite(total) && total > 0)
      pi /= total;
    else
      pi.setConstant(1.0 / static_cast<double>(S));

    const double elbo = L + Fb * 0.5 *
                                (invL.array().log().sum() - invL.array().sum() - alpha.array().square().sum() +
                                 static_cast<double>(S * D));
    elbos.push_back(elbo);
    if (iteration > 0 && std::fabs(elbo - previous) < epsilon) break;
    previous = elbo;
  }
  return {std::move(initialGamma), std::vector<double>(pi.data(), pi.data() + pi.size()), std::move(elbos)};
}

}  // namespace voxtrellis
