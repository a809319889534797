#pragma once

#include <voxtrellis/OfflineDiarizerConfig.h>

#include "Diarizer/Offline/Core/OfflineStageTypes.h"
#include "Diarizer/Offline/Core/PipelineSupport.h"

#include <vector>

namespace voxtrellis {

// Gives every timed embedding of a run a global speaker: warm start by
// agglomerative clustering, VBx refinement (K-means under count limits),
// centroids, then assignment by cosine similarity. Without a single finite
// embedding there are no speakers: no centroids and every embedding
// unassigned. Throws only VBx's OfflineDiarizationError for a warm start too
// large to hold (see VBxClustering), and DiarizationCancelled at the next
// step of the linkage, VBx or K-means once `cancellation` (when given) is set.
namespace SpeakerClusteringStage {

struct Result {
  std::vector<std::vector<double>> centroids;      // one 256-value vector per speaker
  std::vector<int> assignments;                    // one speaker per embedding, in embedding order
  std::vector<std::vector<int>> chunkAssignments;  // numChunks × numSpeakers, −2 where no embedding
  double speakerClusteringSeconds = 0;
};

Result run(const std::vector<TimedEmbedding>& timedEmbeddings, const SegmentationOutput& segmentation,
           const OfflineDiarizerConfig& config, const std::vector<double>& psi,
           const CancellationFlag* cancellation = nullptr);

// Indices of embeddings whose values are all finite (none when none is).
std::vector<int> selectTrainingEmbeddings(const std::vector<TimedEmbedding>& timed);

std::vector<std::vector<double>> computeCentroids(const std::vector<std::vector<double>>& trainingEmbeddings,
                                                  const VBxOutput& vbxOutput, const std::vector<int>& initialClusters);
std::vector<std::vector<double>> computeCentroidsFromClusters(const std::vector<std::vector<double>>& embeddings,
                                                              const std::vector<int>& clusters);
// The mean of the finite rows as one centroid; none without a finite row.
std::vector<std::vector<double>> computeFallbackCentroids(const std::vector<std::vector<double>>& embeddings);
// Most similar centroid by cosine similarity. A vector with a non-finite
// value has no defined similarity and is left unassigned (−1).
std::vector<int> assignEmbeddings(const std::vector<std::vector<double>>& embeddingFeatures,
                                  const std::vector<std::vector<double>>& centroids);
std::vector<std::vector<int>> buildChunkAssignments(const SegmentationOutput& segmentation,
                                                    const std::vector<TimedEmbedding>& timedEmbeddings,
                                                    const std::vector<int>& assignments, int clusterCount);

}  // namespace SpeakerClusteringStage
}  // namespace voxtrellis
