#include "Diarizer/Offline/Clustering/KMeansClustering.h"

#include <voxtrellis/AppLogger.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace voxtrellis::KMeansClustering {

namespace {
const AppLogger& kmeansLogger() {
  static const AppLogger logger("KMeansClustering");
  return logger;
}
}  // namespace

uint64_t SeededRNG::uniform(uint64_t m) {
  uint64_t x = next();
  unsigned __int128 product = static_cast<unsigned __int128>(x) * m;
  auto low = static_cast<uint64_t>(product);
  if (low < m) {
    const uint64_t t = (0 - m) % m;
    while (low < t) {
      x = next();
      product = static_cast<unsigned __int128>(x) * m;
      low = static_cast<uint64_t>(product);
    }
  }
  return static_cast<uint64_t>(product >> 64);
}

std::vector<std::size_t> shuffledIndices(std::size_t n, SeededRNG& rng) {
  std::vector<std::size_t> indices(n);
  for (std::size_t i = 0; i < n; ++i) indices[i] = i;
  if (n < 2) return indices;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const std::size_t j = i + static_cast<std::size_t>(rng.uniform(n - i));
    std::swap(indices[i], indices[j]);
  }
  return indices;
}

namespace {

std::vector<std::vector<double>> normalizeEmbeddings(const std::vector<std::vector<double>>& embeddings) {
  std::vector<std::vector<double>> result = embeddings;
  for (auto& row : result) {
    double norm = 0;
    for (double v : row) norm += v * v;
    norm = std::sqrt(norm);
    if (norm > 1e-10) {
      for (double& v : row) v /= norm;
    }
  }
  return result;
}

std::vector<std::vector<double>> updateCentroids(const std::vector<std::vector<double>>& embeddings,
                                                 const std::vector<int>& assignments, int k, std::size_t dimension,
                                                 SeededRNG& rng) {
  std::vector<std::vector<double>> sums(static_cast<std::size_t>(k), std::vector<double>(dimension, 0.0));
  std::vector<int> counts(static_cast<std::size_t>(k), 0);
  for (std::size_t i = 0; i < embeddings.size(); ++i) {
    const int cluster = assignments[i];
    if (cluster < 0 || cluster >= k) continue;
    const std::size_t count = std::min(dimension, embeddings[i].size());
    for (std::size_t d = 0; d < count; ++d) sums[cluster][d] += embeddings[i][d];
    ++counts[cluster];
  }
  for (int c = 0; c < k; ++c) {
    if (counts[c] > 0) {
      for (double& v : sums[c]) v /= counts[c];
    } else if (!embeddings.empty()) {
      sums[c] = embeddings[static_cast<std::size_t>(rng.uniform(embeddings.size()))];
    }
  }
  return sums;
}

}  // namespace

Result clusterWithCentroids(const std::vector<std::vector<double>>& embeddings, int k, int maxIterations,
                            std::optional<uint64_t> seed, const CancellationFlag* cancellation) {
  const std::size_t n = embeddings.size();
  if (n == 0) return {};
  const std::size_t dim = embeddings.front().size();
  if (dim == 0 || k <= 0) return {std::vector<int>(n, 0), {}};
  if (static_cast<std::size_t>(k) >= n) {
    Result identity;
    for (std::size_t i = 0; i < n; ++i) identity.clusters.push_back(static_cast<int>(i));
    identity.centroids = embeddings;
    return identity;
  }
  if (!seed) {
    std::random_device device;
    seed = (static_cast<uint64_t>(device()) << 32) | device();
  }
  SeededRNG rng(*seed);
  const auto normalized = normalizeEmbeddings(embeddings);
  const auto order = shuffledIndices(n, rng);
  std::vector<std::vector<double>> centroids;
  for (int c = 0; c < k; ++c) centroids.push_back(normalized[order[static_cast<std::size_t>(c)]]);

  std::vector<int> assignments(n, 0);
  std::vector<int> next(n, 0);
  for (int r = 1; r <= maxIterations; ++r) {
    throwIfCancelled(cancellation);
    for (std::size_t i = 0; i < n; ++i) {
      double best = std::numeric_limits<double>::max();
      int bestIndex = 0;
      for (int c = 0; c < k; ++c) {
        double distance = std::numeric_limits<double>::max();
        if (centroids[c].size() == normalized[i].size()) {
          distance = 0;
          for (std::size_t d = 0; d < normalized[i].size(); ++d) {
            const double diff = normalized[i][d] - centroids[c][d];
            distance += diff * diff;
          }
        }
        if (distance < best) {
          best = distance;
          bestIndex = c;
        }
      }
      next[i] = bestIndex;
    }
    if (next == assignments) break;
    centroids = updateCentroids(normalized, next, k, dim, rng);
    if (r >= 82) kmeansLogger().warning("K-Means slow convergence at iteration " + std::to_string(r));
    assignments = next;
  }
  return {assignments, centroids};
}

uint64_t seedFromInput(const std::vector<std::vector<double>>& embeddings, int numClusters) {
  uint64_t hash = 14695981039346656037ull;
  auto mix = [&hash](uint64_t word) {
    for (int byte = 0; byte < 8; ++byte) {
      hash ^= (word >> (8 * byte)) & 0xff;
      hash *= 1099511628211ull;
    }
  };
  mix(static_cast<uint64_t>(numClusters));
  for (const auto& row : embeddings) {
    mix(row.size());
    for (double value : row) {
      uint64_t bits;
      std::memcpy(&bits, &value, sizeof bits);
      mix(bits);
    }
  }
  return hash;
}

double withinClusterDistance(const std::vector<std::vector<double>>& embeddings, const Result& result) {
  const auto normalized = normalizeEmbeddings(embeddings);
  double total = 0;
  for (std::size_t i = 0; i < normalized.size() && i < result.clusters.size(); ++i) {
    const int c = result.clusters[i];
    if (c < 0 || static_cast<std::size_t>(c) >= result.centroids.size()) continue;
    const auto& centroid = result.centroids[static_cast<std::size_t>(c)];
    for (std::size_t d = 0; d < normalized[i].size() && d < centroid.size(); ++d) {
      const double diff = normalized[i][d] - centroid[d];
      total += diff * diff;
    }
  }
  return total;
}

Result clusterBestOfStarts(const std::vector<std::vector<double>>& embeddings, int k, int maxIterations, int starts,
                           const CancellationFlag* cancellation) {
  const uint64_t seed = seedFromInput(embeddings, k);
  Result best;
  double bestDistance = std::numeric_limits<double>::infinity();
  for (int start = 0; start < std::max(starts, 1); ++start) {
    Result candidate = clusterWithCentroids(embeddings, k, maxIterations,
                                            seed + static_cast<uint64_t>(start) * 0x9E3779B97F4A7C15ull, cancellation);
    const double distance = withinClusterDistance(embeddings, candidate);
    // A NaN distance never wins over a number, but the first start is kept
    // when no start gives one.
    if (start == 0 || distance < bestDistance || (std::isnan(bestDistance) && !std::isnan(distance))) {
      best = std::move(candidate);
      bestDistance = distance;
    }
  }
  return best;
}

}  // namespace voxtrellis::KMeansClustering
