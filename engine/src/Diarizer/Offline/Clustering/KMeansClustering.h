#pragma once

#include "Diarizer/Offline/Core/PipelineSupport.h"

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
// system random source seeds the generator. Throws only DiarizationCancelled,
// at the next iteration once `cancellation` (when given) is set.
Result clusterWithCentroids(const std::vector<std::vector<double>>& embeddings, int numClusters, int maxIterations,
                            std::optional<uint64_t> seed, const CancellationFlag* cancellation = nullptr);

// The best of `starts` runs of clusterWithCentroids by within-cluster
// distance (the sum of squared distances of the unit-length rows to their
// centroids; the earlier start wins a tie). The seeds come from the input
// itself, so the same rows and count always give the same answer. Throws as
// clusterWithCentroids.
Result clusterBestOfStarts(const std::vector<std::vector<double>>& embeddings, int numClusters, int maxIterations,
                           int starts, const CancellationFlag* cancellation = nullptr);

// Sum of squared distances of the unit-length rows to their assigned centroids.
double withinClusterDistance(const std::vector<std::vector<double>>& embeddings, const Result& result);

// A seed drawn from the rows' values and the count (FNV-1a over their bits).
uint64_t seedFromInput(const std::vector<std::vector<double>>& embeddings, int numClusters);

// Fisher–Yates shuffle of 0 ... n−1 as the clustering draws it.
std::vector<std::size_t> shuffledIndices(std::size_t n, SeededRNG& rng);

}  // namespace KMeansClustering
}  // namespace voxtrellis
