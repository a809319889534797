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
};

VBxModel::VBxModel(const std::vector<double>& features, std::size_t T, std::size_t D, const std::vector<double>& phi,
                   double Fa, double Fb)
    : m_data(std::make_unique<Data>()) {
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
  const Eigen::Index t_ = m.rho.rows(), d_ = m.rho.cols();
  const auto T = static_cast<std::size_t>(t_);
  const double ratio = m.Fa / m.Fb;
  // The speakers still held, by their column in `gammaIn`.
  std::vector<std::size_t> held(S);
  std::iota(held.begin(), held.end(), std::size_t{0});
  Eigen::VectorXd pi = Eigen::Map<const Eigen::VectorXd>(piIn.data(), static_cast<Eigen::Index>(S));
  RowMatrix invL, alpha, logp;
  std::vector<double> elbos;
  double previous = -std::numeric_limits<double>::max();
  for (int iteration = 0; iteration < maxIterations; ++iteration) {
    const auto s_ = static_cast<Eigen::Index>(held.size());
    Eigen::Map<RowMatrix> gamma(gammaIn.data(), t_, s_);
    invL.resize(s_, d_);
    alpha.resize(s_, d_);
    logp.resize(t_, s_);
    const Eigen::VectorXd N = gamma.colwise().sum().transpose();
    for (Eigen::Index s = 0; s < s_; ++s) {
      for (Eigen::Index d = 0; d < d_; ++d) {
        const double denominator = 1.0 + ratio * N[s] * m.phi[d];
        invL(s, d) = denominator > 1e-12 ? 1.0 / denominator : 1e12;
      }
    }
    alpha.noalias() = gamma.transpose() * m.rho;
    alpha = (ratio * invL.array() * alpha.array()).matrix();
    const Eigen::VectorXd q = ((alpha.array().square() + invL.array()).rowwise() * m.phi.transpose()).rowwise().sum();
    logp.noalias() = m.rho * alpha.transpose();
    logp = (m.Fa * ((logp.rowwise() - 0.5 * q.transpose()).colwise() + m.G).array()).matrix();
    Eigen::RowVectorXd lpi(s_);
    for (Eigen::Index s = 0; s < s_; ++s) lpi[s] = std::log(std::max(pi[s], 1e-8));

    double L = 0;
    for (Eigen::Index t = 0; t < t_; ++t) {
      const Eigen::RowVectorXd v = logp.row(t) + lpi;
      const double top = v.maxCoeff();
      const Eigen::RowVectorXd e = (v.array() - top).exp().matrix();
      const double z = e.sum();
      if (std::isfinite(z) && z > 0) {
        gamma.row(t) = e / z;
        L += top + std::log(z);
      } else {
        gamma.row(t).setConstant(1.0 / static_cast<double>(s_));
        L += top;
      }
    }
    pi = gamma.colwise().sum().transpose();
    const double total = pi.sum();
    if (std::isfinite(total) && total > 0)
      pi /= total;
    else
      pi.setConstant(1.0 / static_cast<double>(s_));

    const double elbo = L + m.Fb * 0.5 *
                                (invL.array().log().sum() - invL.array().sum() - alpha.array().square().sum() +
                                 static_cast<double>(s_ * d_));
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

}  // namespace voxtrellis
