#include "Diarizer/FastClusterWrapper/FastClusterWrapper.h"

#include "Diarizer/FastClusterWrapper/DistanceKernels.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace voxtrellis {

namespace {

struct NaNDistance {};
struct Stopped {};

// Indexed binary min-heap over node indices, keyed by an external array
// (the candidate distances).
class BinaryMinHeap {
 public:
  BinaryMinHeap(double* keys, std::size_t capacity) : m_keys(keys), m_heap(capacity), m_position(capacity) {}

  // Nodes first ... first+count−1, then heapified.
  void initialize(std::size_t first, std::size_t count) {
    m_size = count;
    for (std::size_t p = 0; p < count; ++p) {
      m_heap[p] = first + p;
      m_position[first + p] = p;
    }
    for (std::size_t p = m_size / 2; p > 0;) siftDown(--p);
  }

  std::size_t argmin() const { return m_heap[0]; }

  // The node's key grew to `value`.
  void increaseKey(std::size_t node, double value) {
    m_keys[node] = value;
    siftDown(m_position[node]);
  }

  void remove(std::size_t node) {
    const std::size_t slot = m_position[node];
    --m_size;
    if (slot == m_size) return;
    const std::size_t last = m_heap[m_size];
    m_heap[slot] = last;
    m_position[last] = slot;
    if (m_keys[last] > m_keys[node])
      siftDown(slot);
    else
      siftUp(slot);
  }

  // `newNode` takes the heap slot of `oldNode` with key `value`.
  void replace(std::size_t oldNode, std::size_t newNode, double value) {
    const std::size_t slot = m_position[oldNode];
    m_position[newNode] = slot;
    m_heap[slot] = newNode;
    const bool grew = value > m_keys[oldNode];
    m_keys[newNode] = value;
    if (grew)
      siftDown(slot);
    else
      siftUp(slot);
  }

 private:
  double key(std::size_t slot) const { return m_keys[m_heap[slot]]; }
  void swapSlots(std::size_t i, std::size_t j) {
    std::swap(m_heap[i], m_heap[j]);
    m_position[m_heap[i]] = i;
    m_position[m_heap[j]] = j;
  }
  void siftDown(std::size_t i) {
    for (std::size_t j; (j = 2 * i + 1) < m_size; i = j) {
      if (key(j) >= key(i)) {
        ++j;
        if (j >= m_size || key(j) >= key(i)) break;
      } else if (j + 1 < m_size && key(j + 1) < key(j)) {
        ++j;
      }
      swapSlots(i, j);
    }
  }
  void siftUp(std::size_t i) {
    for (std::size_t j; i > 0 && key(i) < key(j = (i - 1) / 2); i = j) swapSlots(i, j);
  }

  double* m_keys;
  std::vector<std::size_t> m_heap;
  std::vector<std::size_t> m_position;
  std::size_t m_size = 0;
};

// Fixed set of helper threads that run one indexed job at a time; the caller
// takes part as worker 0. A scan lasts tens of microseconds, about what a
// sleeping thread takes to wake up, so waiting threads spin briefly before
// they sleep on the atomic (futex) and give the processor back.
class ScanPool {
 public:
  explicit ScanPool(unsigned workers) : m_count(workers) {
    try {
      for (unsigned w = 1; w < workers; ++w) m_threads.emplace_back([this, w] { loop(w); });
    } catch (...) {
      // The destructor does not run for a half-built pool; the helpers
      // already started must still be stopped and joined.
      stop();
      throw;
    }
  }
  ~ScanPool() { stop(); }
  unsigned size() const { return m_count; }

  // Runs job(w) for every worker w and returns when all are done.
  template <class Job>
  void run(const Job& job) {
    m_context = &job;
    m_invoke = [](const void* context, unsigned w) { (*static_cast<const Job*>(context))(w); };
    m_remaining.store(m_count - 1, std::memory_order_relaxed);
    m_generation.fetch_add(1, std::memory_order_acq_rel);
    m_generation.notify_all();
    job(0);
    unsigned left;
    for (unsigned spins = 0; (left = m_remaining.load(std::memory_order_acquire)) != 0; ++spins) {
      if (spins < kSpins)
        pause();
      else
        m_remaining.wait(left, std::memory_order_acquire);
    }
  }

 private:
  static constexpr unsigned kSpins = 4000;
  void stop() {
    m_quit.store(true, std::memory_order_release);
    m_generation.fetch_add(1, std::memory_order_acq_rel);
    m_generation.notify_all();
    for (auto& t : m_threads) t.join();
    m_threads.clear();
  }
  static void pause() {
#if defined(__x86_64__)
    _mm_pause();
#endif
  }
  void loop(unsigned w) {
    uint64_t seen = 0;
    while (true) {
      uint64_t generation;
      for (unsigned spins = 0; (generation = m_generation.load(std::memory_order_acquire)) == seen; ++spins) {
        if (spins < kSpins)
          pause();
        else
          m_generation.wait(seen, std::memory_order_acquire);
      }
      seen = generation;
      if (m_quit.load(std::memory_order_acquire)) return;
      m_invoke(m_context, w);
      if (m_remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) m_remaining.notify_one();
    }
  }

  unsigned m_count;
  std::vector<std::thread> m_threads;
  std::atomic<uint64_t> m_generation{0};
  std::atomic<unsigned> m_remaining{0};
  std::atomic<bool> m_quit{false};
  const void* m_context = nullptr;
  void (*m_invoke)(const void*, unsigned) = nullptr;
};

// Coordinates per scan from which splitting a scan over threads pays off
// (about a millisecond of work, far above the hand-over cost).
constexpr std::size_t kParallelScanWork = std::size_t{1} << 22;

unsigned workerCount(std::size_t n, std::size_t dim, std::size_t parallelScanWork) {
  unsigned threads = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
  if (n * dim < parallelScanWork) threads = 1;
  return threads;
}

class CentroidLinkage {
 public:
  CentroidLinkage(const double* data, std::size_t n, std::size_t dim, std::size_t parallelScanWork,
                  const std::function<bool()>& stopped)
      : m_stopped(stopped),
        m_parallelScanWork(parallelScanWork),
        m_data(data),
        m_n(n),
        m_dim(dim),
        m_merged((n - 1) * dim, 0.0),
        m_weight(2 * n - 1, 1.0),
        m_successor(2 * n),
        m_predecessor(2 * n),
        m_candidate(2 * n - 1, 0),
        m_key(2 * n - 1, 0.0),
        m_heap(m_key.data(), 2 * n - 1),
        m_distance(pickKernel()),
        m_pool(workerCount(n, dim, parallelScanWork)),
        m_found(m_pool.size()),
        m_distanceF(pickFloatKernel()) {
    prepareFloatCopies();
    m_order.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) m_order.push_back(i);
    // Every node index, future merged nodes included, is linked in ascending
    // order; a node not yet created lies above every scan, which stops below
    // the node it serves.
    for (std::size_t i = 0; i < 2 * n; ++i) {
      m_successor[i] = i + 1;
      m_predecessor[i] = i == 0 ? 0 : i - 1;
    }
  }

  void run(double* out) {
    initialCandidates();
    m_heap.initialize(1, m_n - 1);
    std::vector<double> rows(4 * (m_n - 1));
    for (std::size_t i = 0; i + 1 < m_n; ++i) {
      if (stopped()) throw Stopped{};
      const std::size_t m = m_n + i;
      std::size_t a = m_heap.argmin();
      std::size_t b = m_candidate[a];
      while (!isActive(b)) {
        const double best = nearestBelow(a, m_candidate[a]);
        m_heap.increaseKey(a, best);
        a = m_heap.argmin();
        b = m_candidate[a];
      }
      unlink(a);
      unlink(b);
      rows[4 * i + 0] = static_cast<double>(a);
      rows[4 * i + 1] = static_cast<double>(b);
      rows[4 * i + 2] = m_key[a];
      if (i + 2 < m_n) {
        mergeCentroids(a, b, m);
        m_order.push_back(m);
        const double best = nearestBelow(m, m_candidate[m]);
        m_heap.remove(std::max(b, m_start));
        m_heap.replace(a, m, best);
      }
    }
    // Sizes of the new nodes: leaves count 1, node n + j the size of row j.
    for (std::size_t k = 0; k + 1 < m_n; ++k) {
      const auto a = static_cast<std::size_t>(rows[4 * k]);
      const auto b = static_cast<std::size_t>(rows[4 * k + 1]);
      const double sizeA = a < m_n ? 1.0 : out[4 * (a - m_n) + 3];
      const double sizeB = b < m_n ? 1.0 : out[4 * (b - m_n) + 3];
      out[4 * k + 0] = static_cast<double>(std::min(a, b));
      out[4 * k + 1] = static_cast<double>(std::max(a, b));
      out[4 * k + 2] = std::sqrt(rows[4 * k + 2]);
      out[4 * k + 3] = sizeA + sizeB;
    }
  }

 private:
  const double* vectorOf(std::size_t node) const {
    return node < m_n ? m_data + node * m_dim : m_merged.data() + (node - m_n) * m_dim;
  }
  bool isActive(std::size_t node) const { return m_successor[node] != 0; }
  bool stopped() const { return m_stopped && m_stopped(); }
  void unlink(std::size_t node) {
    if (node == m_start) {
      m_start = m_successor[node];
    } else {
      m_successor[m_predecessor[node]] = m_successor[node];
      m_predecessor[m_successor[node]] = m_predecessor[node];
    }
    m_successor[node] = 0;
    if (++m_removedInOrder * 2 > m_order.size()) {
      std::erase_if(m_order, [&](std::size_t x) { return !isActive(x); });
      m_removedInOrder = 0;
    }
  }

  // Nearest active node below `node` in list order; the first strict minimum
  // wins, also when the scan is split over threads (each part keeps its own
  // first minimum and earlier parts win ties). Writes it to `candidate` and
  // returns the squared distance.
  double nearestBelow(std::size_t node, std::size_t& candidate) {
    const std::size_t end =
        static_cast<std::size_t>(std::lower_bound(m_order.begin(), m_order.end(), node) - m_order.begin());
    const unsigned parts = end * m_dim < m_parallelScanWork ? 1u : m_pool.size();
    if (!m_useFloat) {
      const double* target = vectorOf(node);
      auto scan = [&](unsigned part) {
        const std::size_t from = end * part / parts;
        const std::size_t to = end * (part + 1) / parts;
        Found found{std::numeric_limits<double>::infinity(), kNone, false, {}};
        for (std::size_t k = from; k < to; ++k) {
          const std::size_t j = m_order[k];
          if (!isActive(j)) continue;
          const double d = m_distance(vectorOf(j), target, m_dim);
          if (std::isnan(d)) {
            found.nan = true;
            break;
          }
          if (found.node == kNone || d < found.distance) {
            found.distance = d;
            found.node = j;
          }
        }
        m_found[part] = found;
      };
      if (parts == 1)
        scan(0);
      else
        m_pool.run(scan);
      double best = std::numeric_limits<double>::infinity();
      std::size_t bestNode = kNone;
      for (unsigned part = 0; part < parts; ++part) {
        const Found& f = m_found[part];
        if (f.nan) throw NaNDistance{};
        if (f.node == kNone) continue;
        if (bestNode == kNone || f.distance < best) {
          best = f.distance;
          bestNode = f.node;
        }
      }
      candidate = bestNode;
      return best;
    }

    // Single-precision pass over everything (half the memory traffic), then
    // the exact distance only for the nodes that single precision cannot
    // tell apart from the nearest one.
    const float* targetF = vectorOfF(node);
    auto scan = [&](unsigned part) {
      const std::size_t from = end * part / parts;
      const std::size_t to = end * (part + 1) / parts;
      Found found{std::numeric_limits<double>::infinity(), kNone, false, {}};
      for (std::size_t k = from; k < to; ++k) {
        const std::size_t j = m_order[k];
        if (!isActive(j)) {
          m_scratch[k] = std::numeric_limits<float>::infinity();
          continue;
        }
        const float d = m_distanceF(vectorOfF(j), targetF, m_dim);
        if (std::isnan(d)) {
          found.nan = true;
          break;
        }
        m_scratch[k] = d;
        if (d < found.distance) found.distance = d;
      }
      m_found[part] = found;
    };
    if (parts == 1)
      scan(0);
    else
      m_pool.run(scan);
    double nearestF = std::numeric_limits<double>::infinity();
    for (unsigned part = 0; part < parts; ++part) {
      if (m_found[part].nan) throw NaNDistance{};
      nearestF = std::min(nearestF, m_found[part].distance);
    }
    const double limit = nearestF + 2 * m_margin;
    const double* target = vectorOf(node);
    double best = std::numeric_limits<double>::infinity();
    std::size_t bestNode = kNone;
    for (std::size_t k = 0; k < end; ++k) {
      if (!(m_scratch[k] <= limit)) continue;
      const std::size_t j = m_order[k];
      if (!isActive(j)) continue;
      const double d = m_distance(vectorOf(j), target, m_dim);
      if (std::isnan(d)) throw NaNDistance{};
      if (bestNode == kNone || d < best) {
        best = d;
        bestNode = j;
      }
    }
    candidate = bestNode;
    return best;
  }

  // Single-precision copies of the rows and the bound on how far a
  // single-precision squared distance can be from the exact one. Rows too
  // large for single precision (or not finite) keep the exact scan only.
  void prepareFloatCopies() {
    double maxAbs = 0, maxNormSq = 0;
    for (std::size_t i = 0; i < m_n; ++i) {
      double normSq = 0;
      for (std::size_t k = 0; k < m_dim; ++k) {
        const double v = m_data[i * m_dim + k];
        maxAbs = std::max(maxAbs, std::fabs(v));
        normSq += v * v;
      }
      maxNormSq = std::max(maxNormSq, normSq);
    }
    m_useFloat = std::isfinite(maxNormSq) && maxAbs <= 1e15;
    if (!m_useFloat) return;
    // Rounding each coordinate and summing dim squares in single precision:
    // |error| ≤ (dim + 4)·u·(‖x‖² + ‖y‖²)·2 with u = 2^-24; taken four times over.
    m_margin = 4.0 * 2.0 * static_cast<double>(m_dim + 4) * 5.9604644775390625e-8 * (2 * maxNormSq);
    m_dataF.assign(m_data, m_data + m_n * m_dim);
    m_mergedF.assign((m_n - 1) * m_dim, 0.0f);
    m_scratch.assign(2 * m_n, 0.0f);
  }
  const float* vectorOfF(std::size_t node) const {
    return node < m_n ? m_dataF.data() + node * m_dim : m_mergedF.data() + (node - m_n) * m_dim;
  }

  void initialCandidates() {
    // Each row's scan is independent; split them over threads, balancing the
    // triangular amount of work.
    const std::size_t work = m_n * m_n / 2 * std::max<std::size_t>(m_dim, 1);
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min<unsigned>(threads, 8);
    if (work < (1u << 22)) threads = 1;
    std::vector<std::size_t> bounds(threads + 1, m_n);
    bounds[0] = 1;
    for (unsigned t = 1; t < threads; ++t) {
      bounds[t] = static_cast<std::size_t>(static_cast<double>(m_n) * std::sqrt(static_cast<double>(t) / threads));
      bounds[t] = std::clamp(bounds[t], bounds[t - 1], m_n);
    }
    std::vector<char> sawNaN(threads, 0), sawStop(threads, 0);
    std::vector<std::vector<float>> scratch(m_useFloat ? threads : 0, std::vector<float>(m_n));
    auto scan = [&](unsigned t) {
      for (std::size_t i = bounds[t]; i < bounds[t + 1]; ++i) {
        if (stopped()) {
          sawStop[t] = 1;
          return;
        }
        double best = std::numeric_limits<double>::infinity();
        std::size_t bestJ = 0;
        const double* row = m_data + i * m_dim;
        if (m_useFloat) {
          // As in nearestBelow: single precision first, exact where it cannot decide.
          const float* rowF = m_dataF.data() + i * m_dim;
          float nearestF = std::numeric_limits<float>::infinity();
          for (std::size_t j = 0; j < i; ++j) {
            const float d = m_distanceF(rowF, m_dataF.data() + j * m_dim, m_dim);
            if (std::isnan(d)) {
              sawNaN[t] = 1;
              return;
            }
            scratch[t][j] = d;
            nearestF = std::min(nearestF, d);
          }
          const double limit = static_cast<double>(nearestF) + 2 * m_margin;
          bool first = true;
          for (std::size_t j = 0; j < i; ++j) {
            if (!(scratch[t][j] <= limit)) continue;
            const double d = m_distance(row, m_data + j * m_dim, m_dim);
            if (std::isnan(d)) {
              sawNaN[t] = 1;
              return;
            }
            if (first || d < best) {
              best = d;
              bestJ = j;
              first = false;
            }
          }
          m_key[i] = best;
          m_candidate[i] = bestJ;
          continue;
        }
        for (std::size_t j = 0; j < i; ++j) {
          const double d = m_distance(row, m_data + j * m_dim, m_dim);
          if (std::isnan(d)) {
            sawNaN[t] = 1;
            return;
          }
          if (d < best) {
            best = d;
            bestJ = j;
          }
        }
        m_key[i] = best;
        m_candidate[i] = bestJ;
      }
    };
    if (threads == 1) {
      scan(0);
    } else {
      std::vector<std::thread> workers;
      workers.reserve(threads);
      try {
        for (unsigned t = 0; t < threads; ++t) workers.emplace_back(scan, t);
      } catch (...) {
        for (auto& w : workers) w.join();
        throw;
      }
      for (auto& w : workers) w.join();
    }
    if (std::find(sawNaN.begin(), sawNaN.end(), 1) != sawNaN.end()) throw NaNDistance{};
    if (std::find(sawStop.begin(), sawStop.end(), 1) != sawStop.end()) throw Stopped{};
  }

  void mergeCentroids(std::size_t a, std::size_t b, std::size_t m) {
    const double wa = m_weight[a];
    const double wb = m_weight[b];
    const double total = wa + wb;
    const double* ca = vectorOf(a);
    const double* cb = vectorOf(b);
    double* cm = m_merged.data() + (m - m_n) * m_dim;
    for (std::size_t k = 0; k < m_dim; ++k) cm[k] = (ca[k] * wa + cb[k] * wb) / total;
    m_weight[m] = total;
    if (m_useFloat) std::copy(cm, cm + m_dim, m_mergedF.data() + (m - m_n) * m_dim);
  }

  const std::function<bool()>& m_stopped;
  std::size_t m_parallelScanWork;
  const double* m_data;
  std::size_t m_n;
  std::size_t m_dim;
  std::vector<double> m_merged;
  std::vector<double> m_weight;
  std::vector<std::size_t> m_successor;
  std::vector<std::size_t> m_predecessor;
  std::size_t m_start = 0;
  std::vector<std::size_t> m_candidate;
  std::vector<double> m_key;
  BinaryMinHeap m_heap;
  DistanceKernel m_distance;
  // Active nodes in ascending index (= list) order; removed nodes stay until
  // the next compaction and are skipped.
  std::vector<std::size_t> m_order;
  std::size_t m_removedInOrder = 0;
  ScanPool m_pool;
  struct Found {
    double distance;
    std::size_t node;
    bool nan;
    char padding[64 - sizeof(double) - sizeof(std::size_t) - sizeof(bool)];
  };
  std::vector<Found> m_found;
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  FloatDistanceKernel m_distanceF;
  bool m_useFloat = false;
  double m_margin = 0;
  std::vector<float> m_dataF;
  std::vector<float> m_mergedF;
  std::vector<float> m_scratch;  // single-precision distances of the current scan, by position in m_order
};

}  // namespace

int32_t fastcluster_compute_centroid_linkage(const double* data, std::size_t n, std::size_t dim, double* out,
                                             std::size_t outCapacity, const std::function<bool()>& stopped) noexcept {
  return fastclusterCentroidLinkage(data, n, dim, out, outCapacity, kParallelScanWork, stopped);
}

int32_t fastclusterCentroidLinkage(const double* data, std::size_t n, std::size_t dim, double* out,
                                   std::size_t outCapacity, std::size_t parallelScanWork,
                                   const std::function<bool()>& stopped) noexcept {
  if (data == nullptr || out == nullptr) return kFastClusterMissingBuffer;
  if (n == 0) return kFastClusterOk;
  if (dim == 0) return kFastClusterMissingBuffer;
  constexpr std::size_t kLimit = std::size_t{1} << 31;
  if (n >= kLimit || dim >= kLimit) return kFastClusterTooLarge;
  if (4 * n - 4 > outCapacity) return kFastClusterOutputTooSmall;
  if (n == 1) return kFastClusterOk;
  try {
    CentroidLinkage linkage(data, n, dim, parallelScanWork, stopped);
    linkage.run(out);
    return kFastClusterOk;
  } catch (const NaNDistance&) {
    return kFastClusterNaN;
  } catch (const Stopped&) {
    return kFastClusterStopped;
  } catch (const std::bad_alloc&) {
    return kFastClusterNoMemory;
  } catch (const std::exception&) {
    return kFastClusterNaN;
  } catch (...) {
    return 255;
  }
}

}  // namespace voxtrellis
