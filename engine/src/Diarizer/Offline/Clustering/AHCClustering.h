#pragma once

#include <voxtrellis/AppLogger.h>

#include "Diarizer/Offline/Core/PipelineSupport.h"

#include <cstddef>
#include <limits>
#include <vector>

namespace voxtrellis {

// Warm-start grouping of voice vectors: centroid-linkage clustering of the
// unit-length rows, cut at the threshold, which is the Euclidean distance
// between them (0 to sqrt(2) for directions 0 to 90 degrees apart; a lower
// threshold keeps more groups apart).
class AHCClustering {
 public:
  explicit AHCClustering(AppLogger logger = AppLogger("OfflineAHC"));

  // One label per row, numbered 0, 1, 2, ... in order of first appearance.
  // When the threshold leaves more than `maxClusters` clusters, the same tree
  // is cut at the lowest height that leaves at most that many instead.
  // A failure of the linkage routine gives every row its own cluster
  // (whatever `maxClusters`). Throws only DiarizationCancelled, once
  // `cancellation` is set (checked before each merge of the linkage).
  std::vector<int> cluster(const std::vector<std::vector<double>>& embeddingFeatures, double threshold,
                           std::size_t maxClusters = std::numeric_limits<std::size_t>::max(),
                           const CancellationFlag* cancellation = nullptr) const;

  // The cut distance: the threshold clamped to [0, sqrt(2)]; +infinity for NaN.
  double convertThresholdToDistance(double threshold) const;

  // Flat clusters of a linkage matrix ((n − 1) × 4, merge order), as SciPy's
  // fcluster(Z, cut, "distance"): the first node on a path from the root whose
  // highest merge in its whole subtree is within the cut (inclusive) closes a
  // cluster. Labels are numbered in walk order (right child first).
  static std::vector<int> assignmentsFromDendrogram(const std::vector<double>& linkage, int count,
                                                    double distanceThreshold);
  static std::vector<int> remapClusterIds(const std::vector<int>& labels);
  // The number of distinct labels of a labelling numbered from 0.
  static std::size_t clusterCount(const std::vector<int>& labels);

 private:
  // The dendrogram of a linkage matrix, with the highest merge below each node.
  class Tree {
   public:
    Tree(const std::vector<double>& linkage, int count);
    std::vector<int> labelsAt(double cut) const;
    // The lowest cut that leaves at most `maxClusters` (at least one) clusters.
    double lowestCutFor(std::size_t maxClusters) const;

   private:
    bool valid(int index) const;
    int m_count;
    std::vector<int> m_left, m_right;
    std::vector<double> m_highest;
  };

  AppLogger m_logger;
};

}  // namespace voxtrellis
