#include "Diarizer/Offline/Clustering/VBxModel.h"

#include <Eigen/Core>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace voxtrellis {

namespace {
using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
constexpr double kLog2Pi = 1.8378770664093453;

// Keeps the speakers whose weight is above kNegligibleWeight (all of them
// when none is): their columns move to the front of the T rows in place,
// each row starting no later than before, and the kept weights sum to 1.
void dropNegligibleSpeakers(std::vector<double>& gamma, std::size_t T, std::vector<std::size_t>& held,
                            Eigen::VectorXd& pi) {
  std::vector<std::size_t> keep;
  for (std::size_t k = 0; k < held.size(); ++k) {
    if (pi[static_cast<Eigen::Index>(k)] > VBxModel::kNegligibleWeight) keep.push_back(k);
  }
  if (keep.empty() || keep.size() == held.size()) return;
  const std::size_t from = held.size(), to = keep.size();
  for (std::size_t t = 0; t < T; ++t) {
    for (std::size_t j = 0; j < to; ++j) gamma[t * to + j] = gamma[t * from + keep[j]];
  }
  Eigen::VectorXd kept(static_cast<Eigen::Index>(to));
  std::vector<std::size_t> columns(to);
  for (std::size_t j = 0; j < to; ++j) {
    kept[static_cast<Eigen::Index>(j)] = pi[static_cast<Eigen::Index>(keep[j])];
    columns[j] = held[keep[j]];
  }
  pi = kept / kept.sum();
  held = std::move(columns);
}

// The inverse: T rows of held.size() columns back to S columns, zero where
// a speaker was dropped. Rows are moved last to first, so no row is
// overwritten before it is read.
void spreadColumns(std::vector<double>& gamma, std::size_t T, std::size_t S, const std::vector<std::size_t>& held) {
  const std::size_t from = held.size();
  if (from == S) return;
  std::vector<double> row(from);
  for (std::size_t t = T; t-- > 0;) {
    std::copy_n(gamma.begin() + static_cast<std::ptrdiff_t>(t * from), from, row.begin());
    std::fill_n(gamma.begin() + static_cast<std::ptrdiff_t>(t * S), S, 0.0);
    for (std::size_t j = 0; j < from; ++j) gamma[t * S + held[j]] = row[j];
  }
}
}  // namespace

struct VBxModel::Data {
  Eigen::ArrayXd phi;
  RowMatrix rho;      // the features, column d scaled by √phi[d]
  Eigen::VectorXd G;  // per frame −½(‖x‖² + D ln 2π)
  double Fa = 0, Fb = 0;
  const CancellationFlag* cancellation = nullptr;

  // The speakers' posteriors from their frame counts N and the sums γᵀρ (one
  // row each): invL, alpha, q, and each speaker's part of the ELBO's
  // regulariser (Σ_d ln invL − invL − alpha² + 1).
  struct Posterior {
    RowMatrix invL, alpha;
    Eigen::VectorXd q, regulariser;
  };
  Posterior posterior(const Eigen::VectorXd& N, const RowMatrix& sums) const {
    const double ratio = Fa / Fb;
    Posterior p;
    p.invL.resize(sums.rows(), sums.cols());
    for (Eigen::Index s = 0; s < sums.rows(); ++s) {
      for (Eigen::Index d = 0; d < sums.cols(); ++d) {
        const double denominator = 1.0 + ratio * N[s] * phi[d];
        p.invL(s, d) = denominator > 1e-12 ? 1.0 / denominator : 1e12;
      }
    }
    p.alpha = (ratio * p.invL.array() * sums.array()).matrix();
    p.q = ((p.alpha.array().square() + p.invL.array()).rowwise() * phi.transpose()).rowwise().sum();
    p.regulariser = (p.invL.array().log() - p.invL.array() - p.alpha.array().square() + 1.0).rowwise().sum();
    return p;
  }

  // Fa · log-likelihood of every frame under every speaker, T × S.
  RowMatrix logLikelihoods(const Posterior& p) const {
    RowMatrix logp = rho * p.alpha.transpose();
    logp = (Fa * ((logp.rowwise() - 0.5 * p.q.transpose()).colwise() + G).array()).matrix();
    return logp;
  }
};

namespace {
Eigen::RowVectorXd logWeights(const Eigen::VectorXd& pi) {
  Eigen::RowVectorXd lpi(pi.size());
  for (Eigen::Index s = 0; s < pi.size(); ++s) lpi[s] = std::log(std::max(pi[s], 1e-8));
  return lpi;
}

// log Σ exp(v), and the normalised exp(v − max) in `e`; a sum that is not
// a finite positive number leaves `e` empty and gives the maximum.
template <class Row>
double logSumExp(const Row& v, Eigen::RowVectorXd* e = nullptr) {
  const double top = v.maxCoeff();
  const Eigen::RowVectorXd x = (v.array() - top).exp().matrix();
  const double z = x.sum();
  if (!(std::isfinite(z) && z > 0)) {
    if (e) e->resize(0);
    return top;
  }
  if (e) *e = x / z;
  return top + std::log(z);
}
}  // namespace

VBxModel::VBxModel(const std::vector<double>& features, std::size_t T, std::size_t D, const std::vector<double>& phi,
                   double Fa, double Fb, const CancellationFlag* cancellation)
    : m_data(std::make_unique<Data>()) {
  m_data->cancellation = cancellation;
  const auto t_ = static_cast<Eigen::Index>(T);
  const auto d_ = static_cast<Eigen::Index>(D);
  m_data->phi.resize(d_);
  for (Eigen::Index d = 0; d < d_; ++d) m_data->phi[d] = std::max(phi[static_cast<std::size_t>(d)], 1e-12);
  const Eigen::Map<const RowMatrix> X(features.data(), t_, d_);
  m_data->rho = X * m_data->phi.sqrt().matrix().asDiagonal();
  m_data->G = -0.5 * (X.rowwise().squaredNorm().array() + static_cast<double>(D) * kLog2Pi).matrix();
  m_data->Fa = Fa;
  m_data->Fb = Fb;
}

VBxModel::~VBxModel() = default;

VBxRun VBxModel::run(std::vector<double> gammaIn, std::vector<double> piIn, std::size_t S, int maxIterations,
                     double epsilon) const {
  const Data& m = *m_data;
  const Eigen::Index t_ = m.rho.rows();
  const auto T = static_cast<std::size_t>(t_);
  // The speakers still held, by their column in `gammaIn`.
  std::vector<std::size_t> held(S);
  std::iota(held.begin(), held.end(), std::size_t{0});
  Eigen::VectorXd pi = Eigen::Map<const Eigen::VectorXd>(piIn.data(), static_cast<Eigen::Index>(S));
  std::vector<double> elbos;
  double previous = -std::numeric_limits<double>::max();
  for (int iteration = 0; iteration < maxIterations; ++iteration) {
    throwIfCancelled(m.cancellation);
    const auto s_ = static_cast<Eigen::Index>(held.size());
    Eigen::Map<RowMatrix> gamma(gammaIn.data(), t_, s_);
    const auto p = m.posterior(gamma.colwise().sum().transpose(), gamma.transpose() * m.rho);
    const RowMatrix logp = m.logLikelihoods(p);
    const Eigen::RowVectorXd lpi = logWeights(pi);
    double L = 0;
    Eigen::RowVectorXd e;
    for (Eigen::Index t = 0; t < t_; ++t) {
      L += logSumExp(logp.row(t) + lpi, &e);
      if (e.size() == s_)
        gamma.row(t) = e;
      else
        gamma.row(t).setConstant(1.0 / static_cast<double>(s_));
    }
    pi = gamma.colwise().sum().transpose();
    const double total = pi.sum();
    if (std::isfinite(total) && total > 0)
      pi /= total;
    else
      pi.setConstant(1.0 / static_cast<double>(s_));

    const double elbo = L + m.Fb * 0.5 * p.regulariser.sum();
    elbos.push_back(elbo);
    if (iteration > 0 && std::fabs(elbo - previous) < epsilon) break;
    previous = elbo;
    dropNegligibleSpeakers(gammaIn, T, held, pi);
  }
  spreadColumns(gammaIn, T, S, held);
  std::vector<double> weights(S, 0.0);
  for (std::size_t k = 0; k < held.size(); ++k) weights[held[k]] = pi[static_cast<Eigen::Index>(k)];
  return {std::move(gammaIn), std::move(weights), std::move(elbos)};
}

VBxModel::JoinScores VBxModel::scoreJoins(const std::vector<double>& gammaIn, const std::vector<double>& piIn,
                                          std::size_t S,
                                          const std::vector<std::pair<std::size_t, std::size_t>>& pairs) const {
  const Data& m = *m_data;
  const Eigen::Index t_ = m.rho.rows(), s_ = static_cast<Eigen::Index>(S);
  const Eigen::Map<const RowMatrix> gamma(gammaIn.data(), t_, s_);
  const Eigen::Map<const Eigen::VectorXd> pi(piIn.data(), s_);
  const Eigen::VectorXd N = gamma.colwise().sum().transpose();
  const RowMatrix sums = gamma.transpose() * m.rho;
  const auto p = m.posterior(N, sums);
  const RowMatrix v = m.logLikelihoods(p).rowwise() + logWeights(pi);
  JoinScores scores;
  Eigen::VectorXd lse(t_);
  for (Eigen::Index t = 0; t < t_; ++t) scores.unjoined += lse[t] = logSumExp(v.row(t));
  const double regulariser = p.regulariser.sum();
  scores.unjoined += m.Fb * 0.5 * regulariser;

  // A frame's sum without a and b is its whole sum less their shares, which
  // costs O(1) instead of O(speakers). Where a and b held nearly all of it
  // and the joined speaker takes little, that difference loses its digits:
  // such a frame is summed again in full.
  constexpr double kExactBelow = 1e-3;
  Eigen::RowVectorXd row(s_ - 1);
  for (const auto& [a, b] : pairs) {
    throwIfCancelled(m.cancellation);
    const auto a_ = static_cast<Eigen::Index>(a), b_ = static_cast<Eigen::Index>(b);
    const auto joined = m.posterior(Eigen::VectorXd::Constant(1, N[a_] + N[b_]), sums.row(a_) + sums.row(b_));
    const Eigen::VectorXd column = m.logLikelihoods(joined).col(0).array() + std::log(std::max(pi[a_] + pi[b_], 1e-8));
    double L = 0;
    for (Eigen::Index t = 0; t < t_; ++t) {
      const double rest = 1.0 - std::exp(v(t, a_) - lse[t]) - std::exp(v(t, b_) - lse[t]);
      const double total = rest + std::exp(column[t] - lse[t]);
      if (std::isfinite(lse[t]) && total >= kExactBelow) {
        L += lse[t] + std::log(total);
        continue;
      }
      Eigen::Index j = 0;
      for (Eigen::Index s = 0; s < s_; ++s) {
        if (s != a_ && s != b_) row[j++] = v(t, s);
      }
      row[j] = column[t];
      L += logSumExp(row);
    }
    scores.joined.push_back(L +
                            m.Fb * 0.5 * (regulariser - p.regulariser[a_] - p.regulariser[b_] + joined.regulariser[0]));
  }
  return scores;
}

}  // namespace voxtrellis
