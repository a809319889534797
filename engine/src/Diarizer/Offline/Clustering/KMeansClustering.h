#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace voxtrellis {

// K-means on unit-length vectors, used to force a speaker count.
namespace KMeansClustering {

// Linear congruential generator with one 64-bit state word.
struct SeededRNG {
  uint64_t state;
  explicit SeededRNG(uint64_t seed) : state(seed) {}
  uint64_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state;
  }
  // Unbiased draw in [0, m) by the multiply-and-reject method; m ≥ 1.
  uint64_t uniform(uint64_t m);
};

struct Result {
  std::vector<int> clusters;
  std::vector<std::vector<double>> centroids;
};

// Exactly numClusters groups (fewer inputs: each its own). Without a seed the
// system random source seeds the generator. Never throws.
Result clusterWithCentroids(const std::vector<std::vector<double>>& embeddings, int numClusters, int maxIterations,
                            std::optional<uint64_t> seed);

// Fisher–Yates shuffle of 0 ... n−1 as the clustering draws it.
std::vector<std::size_t> shuffledIndices(std::size_t n, SeededRNG& rng);

}  // namespace KMeansClustering
}  // namespace voxtrellis
