#include "Diarizer/Offline/Clustering/AHCClustering.h"

#include "Diarizer/FastClusterWrapper/FastClusterWrapper.h"
#include "Diarizer/Offline/Utils/NumberFormat.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <unordered_map>

namespace voxtrellis {

AHCClustering::AHCClustering(AppLogger logger) : m_logger(std::move(logger)) {}

std::vector<int> AHCClustering::cluster(const std::vector<std::vector<double>>& rows, double threshold) const {
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

  const int32_t status = fastcluster_compute_centroid_linkage(flat.data(), n, dim, linkage.data(), linkage.size());
  if (status != kFastClusterOk) {
    m_logger.error("fastcluster failed with status " + std::to_string(status));
    return singletons;
  }
  const double cut = convertThresholdToDistance(threshold);
  return remapClusterIds(assignmentsFromDendrogram(linkage, static_cast<int>(n), cut));
}

double AHCClustering::convertThresholdToDistance(double t) const {
  if (std::isnan(t)) return std::numeric_limits<double>::infinity();
  if (std::fabs(t) > 1) {
    m_logger.debug("Clustering threshold " + diarization::shortest(t) + " outside cosine range; clamping to [-1, 1]");
  }
  const double c = std::max(t, -1.0);
  double d = 2 - 2 * c;
  if (t >= 1 || d < 0) d = 0;
  return std::sqrt(d);
}

std::vector<int> AHCClustering::assignmentsFromDendrogram(const std::vector<double>& linkage, int n, double cut) {
  if (n < 1) return {};
  if (n == 1) return {0};
  const std::size_t nodes = 2 * static_cast<std::size_t>(n) - 1;
  std::vector<int> left(nodes, -1), right(nodes, -1);
  std::vector<double> height(nodes, 0.0);
  for (int k = 0; k + 1 < n && 4 * static_cast<std::size_t>(k) + 3 < linkage.size(); ++k) {
    const std::size_t node = static_cast<std::size_t>(n + k);
    left[node] = static_cast<int>(linkage[4 * k]);
    right[node] = static_cast<int>(linkage[4 * k + 1]);
    height[node] = linkage[4 * k + 2];
  }
  auto validNode = [&](int index) { return index >= 0 && static_cast<std::size_t>(index) < nodes; };
  // Centroid linkage is not monotone: a late merge can sit lower than a merge
  // inside it. A node closes a cluster only when every merge in its subtree is
  // within the cut (SciPy's fcluster with the "distance" criterion), so the
  // highest merge below each node is what is compared. Merges refer only to
  // earlier nodes, so one pass in merge order sees children before parents.
  // A NaN height never lets its node or any node above it close a cluster.
  std::vector<double> highest(height);
  for (std::size_t node = static_cast<std::size_t>(n); node < nodes; ++node) {
    for (const int child : {left[node], right[node]}) {
      if (!validNode(child) || static_cast<std::size_t>(child) >= node) continue;
      const double h = highest[static_cast<std::size_t>(child)];
      if (std::isnan(h) || h > highest[node]) highest[node] = h;
    }
  }

  std::vector<int> labels(static_cast<std::size_t>(n), -1);
  int next = 0;
  std::vector<int> stack{static_cast<int>(nodes) - 1};
  std::vector<int> inner;
  while (!stack.empty()) {
    const int node = stack.back();
    stack.pop_back();
    if (!validNode(node)) continue;
    if (node < n) {
      if (labels[node] == -1) labels[node] = next++;
      continue;
    }
    if (highest[node] <= cut) {
      // Every leaf below this node becomes one cluster.
      inner.assign(1, node);
      while (!inner.empty()) {
        const int current = inner.back();
        inner.pop_back();
        if (!validNode(current)) continue;
        if (current < n) {
          labels[current] = next;
        } else {
          inner.push_back(left[current]);
          inner.push_back(right[current]);
        }
      }
      ++next;
    } else {
      stack.push_back(left[node]);
      stack.push_back(right[node]);
    }
  }
  for (auto& label : labels) {
    if (label == -1) label = next++;
  }
  return labels;
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
