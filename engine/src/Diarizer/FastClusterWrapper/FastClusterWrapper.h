#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace voxtrellis {

// Status codes of fastcluster_compute_centroid_linkage.
enum FastClusterStatus : int32_t {
  kFastClusterOk = 0,
  kFastClusterMissingBuffer = 1,   // data or out missing, or dim = 0 while n > 0
  kFastClusterTooLarge = 2,        // n or dim is 2^31 or more
  kFastClusterOutputTooSmall = 3,  // capacity below 4·(n − 1) doubles
  kFastClusterNoMemory = 4,        // working storage cannot be allocated
  kFastClusterNaN = 5,             // a distance evaluated to NaN
  kFastClusterStopped = 6,         // `stopped` answered true; nothing was written
  kFastClusterOther = 255,
};

// Centroid-linkage dendrogram of n rows of dim doubles (row-major,
// contiguous). Writes (n − 1) rows of 4 doubles into `out` in merge order:
// smaller node, larger node, Euclidean distance between the two centroids,
// number of input rows under the new node; row k creates node n + k. Keeps
// one nearest-neighbour candidate per node and an indexed heap instead of a
// distance matrix, so memory grows with n·dim. Never throws; every failure is
// a status and all working storage is released. Safe to call from several
// threads at once. `stopped`, when given, is asked before every row's first
// scan and before every merge (from several threads at once): once it answers
// true the call ends with kFastClusterStopped.
int32_t fastcluster_compute_centroid_linkage(const double* data, std::size_t n, std::size_t dim, double* out,
                                             std::size_t outCapacity,
                                             const std::function<bool()>& stopped = {}) noexcept;

// The same with the amount of work (rows × dim) from which one
// nearest-neighbour scan is split over threads; the result does not depend on it.
int32_t fastclusterCentroidLinkage(const double* data, std::size_t n, std::size_t dim, double* out,
                                   std::size_t outCapacity, std::size_t parallelScanWork,
                                   const std::function<bool()>& stopped = {}) noexcept;

}  // namespace voxtrellis
