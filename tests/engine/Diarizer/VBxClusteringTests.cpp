#include "Diarizer/Offline/Clustering/VBxClustering.h"
#include "Diarizer/Offline/Clustering/VBxModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace voxtrellis;

namespace {

// Two groups of identical 128-value vectors along orthogonal directions.
std::vector<std::vector<double>> twoGroups(int a, int b, double scale) {
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < a + b; ++i) {
    std::vector<double> row(128, 0.0);
    row[i < a ? 0 : 1] = scale;
    rows.push_back(row);
  }
  return rows;
}

VBxClustering makeVBx(OfflineDiarizerConfig config = {}) {
  return VBxClustering(config, std::vector<double>(128, 1.0));
}

TEST(VBxClustering, SeparatedGroupsKeepTheirSpeakers) {
  const auto features = twoGroups(26, 22, 24.0);
  std::vector<int> initial(48, 0);
  for (int i = 26; i < 48; ++i) initial[i] = 1;
  const auto out = makeVBx().refine(features, initial);
  ASSERT_EQ(out.pi.size(), 2u);
  EXPECT_NEAR(out.pi[0], 26.0 / 48, 0.05);
  EXPECT_NEAR(out.pi[1], 22.0 / 48, 0.05);
  ASSERT_EQ(out.hardClusters.size(), 1u);
  EXPECT_EQ(out.hardClusters[0], initial);
  EXPECT_EQ(out.numClusters, 2);
  EXPECT_FALSE(out.elbos.empty());
}

// The iterations written out plainly, one loop per formula, to check the
// matrix form against.
VBxClustering::RunResult referenceVBx(const std::vector<std::vector<double>>& X, const std::vector<double>& phiIn,
                                      std::vector<std::vector<double>> gamma, int maxIterations, double epsilon,
                                      double Fa, double Fb, double smoothing) {
  const std::size_t T = X.size(), D = X[0].size(), S = gamma[0].size();
  auto normalise = [&](std::vector<double>& row) {
    double sum = 0;
    for (double v : row) sum += v;
    for (double& v : row) v = std::isfinite(sum) && sum > 0 ? v / sum : 1.0 / S;
  };
  for (auto& row : gamma) {
    if (smoothing >= 0) {
      double m = -INFINITY;
      for (double v : row) m = std::max(m, smoothing * v);
      for (double& v : row) v = std::exp(smoothing * v - m);
      normalise(row);
    }
    normalise(row);
  }
  std::vector<double> pi(S, 1.0 / S), phi(D);
  for (std::size_t d = 0; d < D; ++d) phi[d] = std::max(phiIn[d], 1e-12);
  std::vector<double> G(T);
  for (std::size_t t = 0; t < T; ++t) {
    double sq = 0;
    for (double v : X[t]) sq += v * v;
    G[t] = -0.5 * (sq + D * 1.8378770664093453);
  }
  std::vector<double> elbos;
  double previous = -1.7976931348623157e308;
  for (int i = 0; i < maxIterations; ++i) {
    std::vector<std::vector<double>> invL(S, std::vector<double>(D)), alpha(S, std::vector<double>(D));
    std::vector<double> q(S, 0.0);
    for (std::size_t s = 0; s < S; ++s) {
      double N = 0;
      for (std::size_t t = 0; t < T; ++t) N += gamma[t][s];
      for (std::size_t d = 0; d < D; ++d) {
        invL[s][d] = 1.0 / (1.0 + Fa / Fb * N * phi[d]);
        double acc = 0;
        for (std::size_t t = 0; t < T; ++t) acc += gamma[t][s] * X[t][d] * std::sqrt(phi[d]);
        alpha[s][d] = Fa / Fb * invL[s][d] * acc;
        q[s] += phi[d] * (alpha[s][d] * alpha[s][d] + invL[s][d]);
      }
    }
    double L = 0;
    for (std::size_t t = 0; t < T; ++t) {
      std::vector<double> v(S);
      double m = -INFINITY;
      for (std::size_t s = 0; s < S; ++s) {
        double dot = 0;
        for (std::size_t d = 0; d < D; ++d) dot += X[t][d] * std::sqrt(phi[d]) * alpha[s][d];
        v[s] = Fa * (dot - 0.5 * q[s] + G[t]) + std::log(std::max(pi[s], 1e-8));
        m = std::max(m, v[s]);
      }
      double z = 0;
      for (std::size_t s = 0; s < S; ++s) z += std::exp(v[s] - m);
      for (std::size_t s = 0; s < S; ++s) gamma[t][s] = std::exp(v[s] - m) / z;
      L += m + std::log(z);
    }
    double total = 0;
    for (std::size_t s = 0; s < S; ++s) {
      pi[s] = 0;
      for (std::size_t t = 0; t < T; ++t) pi[s] += gamma[t][s];
      total += pi[s];
    }
    for (double& p : pi) p /= total;
    double regulariser = static_cast<double>(S * D);
    for (std::size_t s = 0; s < S; ++s) {
      for (std::size_t d = 0; d < D; ++d) {
        regulariser += std::log(invL[s][d]) - invL[s][d] - alpha[s][d] * alpha[s][d];
      }
    }
    const double elbo = L + Fb * 0.5 * regulariser;
    elbos.push_back(elbo);
    if (i > 0 && std::fabs(elbo - previous) < epsilon) break;
    previous = elbo;
  }
  std::vector<double> flat;
  for (const auto& row : gamma) flat.insert(flat.end(), row.begin(), row.end());
  return {flat, pi, elbos};
}

TEST(VBxClustering, MatrixFormMatchesThePlainIterations) {
  std::mt19937 rng(5);
  std::normal_distribution<double> normal;
  struct Case {
    std::size_t T, D, S;
    double Fa, Fb, smoothing;
    int iterations;
  };
  for (const Case& c :
       {Case{40, 6, 3, 0.07, 0.8, 7.0, 20}, Case{25, 9, 2, 0.3, 2.0, 0.0, 5}, Case{60, 4, 5, 0.07, 0.8, -1.0, 12}}) {
    SCOPED_TRACE(c.T);
    std::vector<std::vector<double>> X(c.T, std::vector<double>(c.D));
    std::vector<double> flatX;
    for (auto& row : X) {
      for (double& v : row) v = 3 * normal(rng);
      flatX.insert(flatX.end(), row.begin(), row.end());
    }
    std::vector<double> phi(c.D);
    for (double& p : phi) p = 0.5 + std::fabs(normal(rng));
    std::vector<std::vector<double>> gamma(c.T, std::vector<double>(c.S, 0.0));
    std::vector<double> flatGamma;
    for (std::size_t t = 0; t < c.T; ++t) {
      gamma[t][t % c.S] = 1.0;
      gamma[t][(t + 1) % c.S] += 0.25;
      flatGamma.insert(flatGamma.end(), gamma[t].begin(), gamma[t].end());
    }
    const auto expected = referenceVBx(X, phi, gamma, c.iterations, 1e-4, c.Fa, c.Fb, c.smoothing);
    const auto actual =
        VBxClustering::runVBx(flatX, c.T, c.D, phi, flatGamma, c.S, c.iterations, 1e-4, c.Fa, c.Fb, c.smoothing);
    ASSERT_EQ(actual.elbos.size(), expected.elbos.size());
    for (std::size_t i = 0; i < expected.elbos.size(); ++i) {
      EXPECT_NEAR(actual.elbos[i], expected.elbos[i], 1e-9 * std::fabs(expected.elbos[i]));
    }
    ASSERT_EQ(actual.gamma.size(), expected.gamma.size());
    for (std::size_t i = 0; i < expected.gamma.size(); ++i) EXPECT_NEAR(actual.gamma[i], expected.gamma[i], 1e-9);
    for (std::size_t s = 0; s < c.S; ++s) EXPECT_NEAR(actual.pi[s], expected.pi[s], 1e-9);
  }
}

// Whether to join two speakers is decided on these scores: each must be the
// ELBO a run of one iteration gives from the same clusters.
// Once with responsibilities spread over the speakers, once with voices far
// apart, each frame held by one speaker, where a join explains the frames of
// the two joined worse than a third voice near one of them (whose share is
// below what a difference of shares near 1 can resolve).
TEST(VBxModel, JoinScoresAreWhatOneIterationFromTheJoinedClustersGives) {
  for (const auto& [apart, near] : {std::pair{0.0, 0.0}, std::pair{40.0, 12.0}}) {
    SCOPED_TRACE(apart);
    std::mt19937 rng(9);
    std::normal_distribution<double> normal;
    const std::size_t T = 50, D = 5, S = 4;
    std::vector<double> X(T * D), phi(D), gamma(T * S), pi(S, 0.0);
    for (std::size_t t = 0; t < T; ++t) {
      // Voice 2 is voice 0 moved by `near` along the last feature.
      const std::size_t voice = t % S, axis = voice == 2 ? 0 : voice;
      for (std::size_t d = 0; d < D; ++d) {
        X[t * D + d] = 2 * normal(rng) + (d == axis ? apart : 0.0) + (voice == 2 && d == D - 1 ? near : 0.0);
      }
    }
    for (double& p : phi) p = 0.5 + std::fabs(normal(rng));
    for (std::size_t t = 0; t < T; ++t) {
      double sum = 0;
      for (std::size_t s = 0; s < S; ++s) sum += gamma[t * S + s] = std::exp(normal(rng) + (s == t % S ? apart : 0.0));
      for (std::size_t s = 0; s < S; ++s) pi[s] += gamma[t * S + s] /= sum;
    }
    for (double& p : pi) p /= T;
    const VBxModel model(X, T, D, phi, 0.3, 0.8);
    const std::vector<std::pair<std::size_t, std::size_t>> pairs = {{0, 1}, {1, 3}, {2, 3}};
    const auto scores = model.scoreJoins(gamma, pi, S, pairs);
    EXPECT_NEAR(scores.unjoined, model.run(gamma, pi, S, 1, 1e-4).elbos[0], 1e-9 * std::fabs(scores.unjoined));
    ASSERT_EQ(scores.joined.size(), pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      const auto [a, b] = pairs[i];
      std::vector<double> joinedGamma, joinedPi;
      for (std::size_t t = 0; t < T; ++t) {
        for (std::size_t s = 0; s < S; ++s) {
          if (s != b) joinedGamma.push_back(gamma[t * S + s] + (s == a ? gamma[t * S + b] : 0.0));
        }
      }
      for (std::size_t s = 0; s < S; ++s) {
        if (s != b) joinedPi.push_back(pi[s] + (s == a ? pi[b] : 0.0));
      }
      const double expected = model.run(joinedGamma, joinedPi, S - 1, 1, 1e-4).elbos[0];
      EXPECT_NEAR(scores.joined[i], expected, 1e-9 * std::fabs(expected)) << a << "+" << b;
    }
  }
}

}  // namespace
