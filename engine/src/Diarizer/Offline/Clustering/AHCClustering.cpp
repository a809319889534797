#include "Diarizer/Offline/Clustering/AHCClustering.h"

#include "Diarizer/FastClusterWrapper/FastClusterWrapper.h"
#include "Diarizer/Offline/Utils/NumberFormat.h"

#include <voxtrellis/OfflineDiarizerConfig.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <unordered_map>

namespace voxtrellis {

AHCClustering::AHCClustering(AppLogger logger) : m_logger(std::move(logger)) {}

std::vector<int> AHCClustering::cluster(const std::vector<std::vector<double>>& rows, double threshold,
                                        std::size_t maxClusters, const CancellationFlag* cancellation) const {
  const std::size_t n = rows.size();
  if (n == 0) return {};
  const std::size_t dim = rows.front().size();
  if (dim == 0) return std::vector<int>(n, 0);
  if (n == 1) return {0};

  std::vector<int> singletons(n);
  for (std::size_t i = 0; i < n; ++i) singletons[i] = static_cast<int>(i);

  std::vector<double> flat;
  std::vector<double> linkage;
  try {
    flat.assign(n * dim, 0.0);
    linkage.assign(4 * (n - 1), 0.0);
  } catch (const std::bad_alloc&) {
    m_logger.error("fastcluster failed with status " + std::to_string(kFastClusterNoMemory));
    return singletons;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const auto& row = rows[i];
    const std::size_t count = std::min(dim, row.size());
    double norm = 0;
    for (std::size_t k = 0; k < count; ++k) norm += row[k] * row[k];
    const double scale = norm > 0 ? 1.0 / std::sqrt(norm) : 0.0;
    double* target = flat.data() + i * dim;
    for (std::size_t k = 0; k < count; ++k) target[k] = row[k] * scale;
  }

  const int32_t status = fastcluster_compute_centroid_linkage(
      flat.data(), n, dim, linkage.data(), linkage.size(),
      [cancellation] { return cancellation != nullptr && cancellation->isCancelled(); });
  if (status == kFastClusterStopped) throw DiarizationCancelled();
  if (status != kFastClusterOk) {
    m_logger.error("fastcluster failed with status " + std::to_string(status));
    return singletons;
  }
  const double cut = convertThresholdToDistance(threshold);
  const Tree tree(linkage, static_cast<int>(n));
  std::vector<int> labels = tree.labelsAt(cut);
  const std::size_t found = clusterCount(labels);
  if (found > maxClusters) {
    const double raised = tree.lowestCutFor(maxClusters);
    labels = tree.labelsAt(raised);
    m_logger.info("Warm start of " + std::to_string(found) + " clusters merged down to " +
                  std::to_string(clusterCount(labels)) + " along the linkage (cut " + diarization::shortest(cut) +
                  " raised to " + diarization::shortest(raised) + ")");
  }
  return remapClusterIds(labels);
}

double AHCClustering::convertThresholdToDistance(double t) const {
  // The threshold is the distance itself, as in the VBx recipe whose
  // defaults the presets start from: read as a cosine similarity it would
  // turn a lower threshold into a higher cut, and "More Speakers" would merge
  // the most.
  if (std::isnan(t)) return std::numeric_limits<double>::infinity();
  const double clamped = std::clamp(t, 0.0, OfflineDiarizerConfig::Clustering::maxThreshold);
  if (clamped != t) {
    m_logger.debug("Clustering threshold " + diarization::shortest(t) + " outside (0, sqrt(2)]; clamping to " +
                   diarization::shortest(clamped));
  }
  return clamped;
}

AHCClustering::Tree::Tree(const std::vector<double>& linkage, int n) : m_count(n) {
  if (n < 2) return;
  const std::size_t nodes = 2 * static_cast<std::size_t>(n) - 1;
  m_left.assign(nodes, -1);
  m_right.assign(nodes, -1);
  m_highest.assign(nodes, 0.0);
  for (int k = 0; k + 1 < n && 4 * static_cast<std::size_t>(k) + 3 < linkage.size(); ++k) {
    const std::size_t node = static_cast<std::size_t>(n + k);
    m_left[node] = static_cast<int>(linkage[4 * k]);
    m_right[node] = static_cast<int>(linkage[4 * k + 1]);
    m_highest[node] = linkage[4 * k + 2];
  }
  // Centroid linkage is not monotone: a late merge can sit lower than a merge
  // inside it. A node closes a cluster only when every merge in its subtree is
  // within the cut (SciPy's fcluster with the "distance" criterion), so the
  // highest merge below each node is what is compared. Merges refer only to
  // earlier nodes, so one pass in merge order sees children before parents.
  // A NaN height never lets its node or any node above it close a cluster.
  for (std::size_t node = static_cast<std::size_t>(n); node < nodes; ++node) {
    for (const int child : {m_left[node], m_right[node]}) {
      if (!valid(child) || static_cast<std::size_t>(child) >= node) continue;
      const double h = m_highest[static_cast<std::size_t>(child)];
      if (std::isnan(h) || h > m_highest[node]) m_highest[node] = h;
    }
  }
}

bool AHCClustering::Tree::valid(int index) const {
  return index >= 0 && static_cast<std::size_t>(index) < m_highest.size();
}

std::vector<int> AHCClustering::Tree::labelsAt(double cut) const {
  const int n = m_count;
  if (n < 1) return {};
  if (n == 1) return {0};
  std::vector<int> labels(static_cast<std::size_t>(n), -1);
  int next = 0;
  std::vector<int> stack{static_cast<int>(m_highest.size()) - 1};
  std::vector<int> inner;
  while (!stack.empty()) {
    const int node = stack.back();
    stack.pop_back();
    if (!valid(node)) continue;
    if (node < n) {
      if (labels[node] == -1) labels[node] = next++;
      continue;
    }
    if (m_highest[node] <= cut) {
      // Every leaf below this node becomes one cluster.
      inner.assign(1, node);
      while (!inner.empty()) {
        const int current = inner.back();
        inner.pop_back();
        if (!valid(current)) continue;
        if (current < n) {
          labels[current] = next;
        } else {
          inner.push_back(m_left[current]);
          inner.push_back(m_right[current]);
        }
      }
      ++next;
    } else {
      stack.push_back(m_left[node]);
      stack.push_back(m_right[node]);
    }
  }
  for (auto& label : labels) {
    if (label == -1) label = next++;
  }
  return labels;
}

double AHCClustering::Tree::lowestCutFor(std::size_t maxClusters) const {
  // A higher cut closes clusters at the same nodes or at nodes above them, so
  // the count only falls as the cut rises: the lowest merge height that
  // leaves at most maxClusters is found by bisection over the heights.
  std::vector<double> heights;
  for (std::size_t node = static_cast<std::size_t>(std::max(m_count, 0)); node < m_highest.size(); ++node) {
    if (!std::isnan(m_highest[node])) heights.push_back(m_highest[node]);
  }
  std::sort(heights.begin(), heights.end());
  heights.erase(std::unique(heights.begin(), heights.end()), heights.end());
  if (heights.empty()) return std::numeric_limits<double>::infinity();
  const std::size_t limit = std::max<std::size_t>(maxClusters, 1);
  std::size_t low = 0, high = heights.size() - 1;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (clusterCount(labelsAt(heights[middle])) <= limit)
      high = middle;
    else
      low = middle + 1;
  }
  return heights[low];
}

std::size_t AHCClustering::clusterCount(const std::vector<int>& labels) {
  return labels.empty() ? 0 : static_cast<std::size_t>(*std::max_element(labels.begin(), labels.end())) + 1;
}

std::vector<int> AHCClustering::assignmentsFromDendrogram(const std::vector<double>& linkage, int n, double cut) {
  return Tree(linkage, n).labelsAt(cut);
}

std::vector<int> AHCClustering::remapClusterIds(const std::vector<int>& labels) {
  std::unordered_map<int, int> mapping;
  std::vector<int> result;
  result.reserve(labels.size());
  for (int label : labels) {
    auto [it, inserted] = mapping.try_emplace(label, static_cast<int>(mapping.size()));
    result.push_back(it->second);
  }
  return result;
}

}  // namespace voxtrellis
