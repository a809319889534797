#include "Diarizer/Offline/Clustering/SpeakerClusteringStage.h"

#include "Diarizer/Offline/Clustering/AHCClustering.h"
#include "Diarizer/Offline/Clustering/SpeakerCountConstraints.h"
#include "Diarizer/Offline/Clustering/VBxClustering.h"
#include "Diarizer/Offline/Utils/NumberFormat.h"
#include "Shared/Elapsed.h"

#include <voxtrellis/AppLogger.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>

namespace voxtrellis::SpeakerClusteringStage {

namespace {
bool allFinite(const std::vector<double>& values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

std::vector<double> unitOrSelf(std::vector<double> v) {
  double norm = 0;
  for (double x : v) norm += x * x;
  if (norm > 0) {
    const double scale = 1.0 / std::sqrt(norm);
    for (double& x : v) x *= scale;
  }
  return v;
}
}  // namespace

std::vector<int> selectTrainingEmbeddings(const std::vector<TimedEmbedding>& timed) {
  std::vector<int> indices;
  for (std::size_t i = 0; i < timed.size(); ++i) {
    const auto& e = timed[i].embedding256;
    if (std::all_of(e.begin(), e.end(), [](float v) { return std::isfinite(v); }))
      indices.push_back(static_cast<int>(i));
  }
  return indices;
}

std::vector<std::vector<double>> computeCentroidsFromClusters(const std::vector<std::vector<double>>& embeddings,
                                                              const std::vector<int>& clusters) {
  if (embeddings.empty() || embeddings.size() != clusters.size()) return {};
  std::map<int, std::pair<std::vector<double>, int>> sums;
  const std::size_t dim = embeddings.front().size();
  for (std::size_t i = 0; i < embeddings.size(); ++i) {
    auto& [sum, count] = sums[clusters[i]];
    if (sum.empty()) sum.assign(dim, 0.0);
    for (std::size_t d = 0; d < dim && d < embeddings[i].size(); ++d) sum[d] += embeddings[i][d];
    ++count;
  }
  std::vector<std::vector<double>> centroids;
  for (auto& [label, entry] : sums) {
    for (double& v : entry.first) v /= entry.second;
    centroids.push_back(std::move(entry.first));
  }
  return centroids;
}

std::vector<std::vector<double>> computeCentroids(const std::vector<std::vector<double>>& training,
                                                  const VBxOutput& vbx, const std::vector<int>& initialClusters) {
  const std::size_t N = training.size();
  if (N == 0) return {};
  const std::size_t D = training.front().size();
  if (vbx.wasAdjusted && !vbx.centroids.empty()) return vbx.centroids;
  if (!vbx.gamma.empty() && !vbx.pi.empty()) {
    std::vector<std::vector<double>> centroids;
    const std::size_t T = std::min(N, vbx.gamma.size());
    for (std::size_t s = 0; s < vbx.pi.size(); ++s) {
      if (!(vbx.pi[s] > VBxClustering::kNegligibleWeight)) continue;
      std::vector<double> sum(D, 0.0);
      double weight = 0;
      for (std::size_t t = 0; t < T; ++t) {
        if (s >= vbx.gamma[t].size()) continue;
        const double g = vbx.gamma[t][s];
        if (!(g > 0)) continue;
        // Non-finite training rows never get here (they are not training
        // rows unless every row is non-finite); skip them so one bad row
        // cannot poison a centroid.
        if (!allFinite(training[t])) continue;
        for (std::size_t d = 0; d < D && d < training[t].size(); ++d) sum[d] += g * training[t][d];
        weight += g;
      }
      // A speaker that carries no weight on these frames would become a
      // phantom speaker with a zero voice; it gets no centroid.
      if (!(weight > 0)) continue;
      for (double& v : sum) v /= weight;
      centroids.push_back(std::move(sum));
    }
    if (!centroids.empty()) return centroids;
  }
  return computeCentroidsFromClusters(training, initialClusters);
}

std::vector<std::vector<double>> computeFallbackCentroids(const std::vector<std::vector<double>>& embeddings) {
  if (embeddings.empty()) return {};
  const std::size_t dim = embeddings.front().size();
  std::vector<double> mean(dim, 0.0);
  std::size_t rows = 0;
  for (const auto& row : embeddings) {
    // One row with NaN would make the only speaker's voice NaN.
    if (!allFinite(row)) continue;
    for (std::size_t d = 0; d < dim && d < row.size(); ++d) mean[d] += row[d];
    ++rows;
  }
  if (rows == 0) return {};
  for (double& v : mean) v /= static_cast<double>(rows);
  return {mean};
}

std::vector<int> assignEmbeddings(const std::vector<std::vector<double>>& embeddings,
                                  const std::vector<std::vector<double>>& centroids) {
  if (embeddings.empty()) return {};
  if (centroids.empty()) return std::vector<int>(embeddings.size(), 0);
  std::vector<std::vector<double>> units;
  units.reserve(centroids.size());
  for (const auto& c : centroids) units.push_back(unitOrSelf(c));
  std::vector<int> assignments;
  assignments.reserve(embeddings.size());
  for (const auto& raw : embeddings) {
    // A vector with NaN or infinity is similar to nothing; handing it to the
    // first speaker would invent speech for that speaker.
    if (!allFinite(raw)) {
      assignments.push_back(-1);
      continue;
    }
    const auto e = unitOrSelf(raw);
    double best = -std::numeric_limits<double>::infinity();
    int bestIndex = 0;
    for (std::size_t j = 0; j < units.size(); ++j) {
      double similarity = 0;
      if (units[j].size() == e.size() && !e.empty()) {
        for (std::size_t d = 0; d < e.size(); ++d) similarity += e[d] * units[j][d];
      }
      if (similarity > best) {
        best = similarity;
        bestIndex = static_cast<int>(j);
      }
    }
    assignments.push_back(bestIndex);
  }
  return assignments;
}

std::vector<std::vector<int>> buildChunkAssignments(const SegmentationOutput& segmentation,
                                                    const std::vector<TimedEmbedding>& timed,
                                                    const std::vector<int>& assignments, int clusterCount) {
  std::vector<std::vector<int>> grid(
      static_cast<std::size_t>(std::max(segmentation.numChunks, 0)),
      std::vector<int>(static_cast<std::size_t>(std::max(segmentation.numSpeakers, 0)), -2));
  const std::size_t pairs = std::min(timed.size(), assignments.size());
  for (std::size_t i = 0; i < pairs; ++i) {
    const int chunk = timed[i].chunkIndex;
    const int speaker = timed[i].speakerIndex;
    const int assignment = assignments[i];
    if (chunk < 0 || chunk >= segmentation.numChunks || speaker < 0 || speaker >= segmentation.numSpeakers) continue;
    if (assignment < 0 || assignment >= clusterCount) continue;
    grid[static_cast<std::size_t>(chunk)][static_cast<std::size_t>(speaker)] = assignment;
  }
  return grid;
}

Result run(const std::vector<TimedEmbedding>& timed, const SegmentationOutput& segmentation,
           const OfflineDiarizerConfig& config, const std::vector<double>& psi, const CancellationFlag* cancellation) {
  const AppLogger logger("OfflineDiarizer");
  std::vector<std::vector<double>> embeddingFeatures;
  std::vector<std::vector<double>> rhoFeatures;
  embeddingFeatures.reserve(timed.size());
  rhoFeatures.reserve(timed.size());
  for (const auto& e : timed) {
    embeddingFeatures.emplace_back(e.embedding256.begin(), e.embedding256.end());
    rhoFeatures.push_back(e.rho128);
  }

  const auto started = std::chrono::steady_clock::now();
  const auto trainingIndices = selectTrainingEmbeddings(timed);
  logger.debug("Clustering will use " + std::to_string(trainingIndices.size()) + "/" + std::to_string(timed.size()) +
               " embeddings (NaN filtered)");
  std::vector<std::vector<double>> trainingEmbeddings, trainingRho;
  for (int index : trainingIndices) {
    trainingEmbeddings.push_back(embeddingFeatures[static_cast<std::size_t>(index)]);
    trainingRho.push_back(rhoFeatures[static_cast<std::size_t>(index)]);
  }

  if (trainingIndices.empty()) {
    // No embedding holds a usable voice: there is no speaker to find, and
    // every embedding stays unassigned.
    Result none;
    none.assignments.assign(timed.size(), -1);
    none.chunkAssignments = buildChunkAssignments(segmentation, timed, none.assignments, 0);
    none.speakerClusteringSeconds = secondsSince(started);
    logger.debug("Clustering found no finite embedding; no speakers");
    return none;
  }

  std::vector<int> initialClusters;
  if (trainingEmbeddings.size() == 1)
    initialClusters = {0};
  else if (trainingEmbeddings.size() > 1)
    initialClusters =
        AHCClustering().cluster(trainingEmbeddings, config.clustering.threshold,
                                VBxClustering::maxStartingClusters(trainingEmbeddings.size()), cancellation);

  VBxOutput vbx;
  if (trainingRho.empty() || initialClusters.empty()) {
    vbx.hardClusters = {initialClusters};
    vbx.numClusters =
        initialClusters.empty() ? 0 : *std::max_element(initialClusters.begin(), initialClusters.end()) + 1;
  } else {
    std::optional<SpeakerCountConstraints> constraints;
    const auto& c = config.clustering;
    if (c.numSpeakers || c.minSpeakers || c.maxSpeakers) {
      constraints = SpeakerCountConstraints::resolve(static_cast<int>(trainingEmbeddings.size()), c.numSpeakers,
                                                     c.minSpeakers, c.maxSpeakers);
    }
    vbx = VBxClustering(config, psi, cancellation)
              .refineWithConstraints(trainingRho, trainingEmbeddings, initialClusters, constraints);
  }

  Result result;
  result.centroids = computeCentroids(trainingEmbeddings, vbx, initialClusters);
  if (result.centroids.empty()) result.centroids = computeFallbackCentroids(embeddingFeatures);
  result.assignments = assignEmbeddings(embeddingFeatures, result.centroids);
  result.chunkAssignments =
      buildChunkAssignments(segmentation, timed, result.assignments, static_cast<int>(result.centroids.size()));
  result.speakerClusteringSeconds = secondsSince(started);

  if (result.assignments.empty()) {
    logger.debug("Clustering completed in " + diarization::shortest(result.speakerClusteringSeconds) +
                 "s with no assignments");
  } else {
    std::map<int, int> histogram;
    for (int a : result.assignments) ++histogram[a];
    logger.debug("Clustering completed in " + diarization::shortest(result.speakerClusteringSeconds) + "s with " +
                 std::to_string(result.centroids.size()) +
                 " centroids (assignment histogram: " + diarization::histogramText(histogram) + ")");
  }
  return result;
}

}  // namespace voxtrellis::SpeakerClusteringStage
