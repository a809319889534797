#pragma once

#include <voxtrellis/AppLogger.h>

#include <vector>

namespace voxtrellis {

// Warm-start grouping of voice vectors: centroid-linkage clustering of the
// unit-length rows, cut at the distance that corresponds to a
// cosine-similarity threshold.
class AHCClustering {
 public:
  explicit AHCClustering(AppLogger logger = AppLogger("OfflineAHC"));

  // One label per row, numbered 0, 1, 2, ... in order of first appearance.
  // Never throws: a failure of the linkage routine gives every row its own cluster.
  std::vector<int> cluster(const std::vector<std::vector<double>>& embeddingFeatures, double threshold) const;

  // Euclidean distance between two unit vectors of cosine similarity t
  // (clamped to [−1, 1]); +infinity for NaN.
  double convertThresholdToDistance(double threshold) const;

  // Flat clusters of a linkage matrix ((n − 1) × 4, merge order), as SciPy's
  // fcluster(Z, cut, "distance"): the first node on a path from the root whose
  // highest merge in its whole subtree is within the cut (inclusive) closes a
  // cluster. Labels are numbered in walk order (right child first).
  static std::vector<int> assignmentsFromDendrogram(const std::vector<double>& linkage, int count,
                                                    double distanceThreshold);
  static std::vector<int> remapClusterIds(const std::vector<int>& labels);

 private:
  AppLogger m_logger;
};

}  // namespace voxtrellis
