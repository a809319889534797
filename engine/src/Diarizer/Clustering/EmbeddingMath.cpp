#include "Diarizer/Clustering/EmbeddingMath.h"

#include <Eigen/Core>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace voxtrellis::embedding {

namespace {
using ConstVector = Eigen::Map<const Eigen::VectorXf>;
Eigen::Index size(std::size_t count) {
  return static_cast<Eigen::Index>(count);
}
}  // namespace

float sumOfSquares(const float* values, std::size_t count) {
  if (count == 0) return 0;
  return ConstVector(values, size(count)).squaredNorm();
}

namespace {

// Eight floats as one value (GCC's vector extension): one AVX register where
// the processor has it, two SSE (or NEON) registers otherwise.
typedef float Packet __attribute__((vector_size(32)));
constexpr std::size_t kPacket = 8;

// Loads through a reference: a vector of this width must not be a return
// value where the baseline build has no such register.
void loadPacket(Packet& packet, const float* values) {
  std::memcpy(&packet, values, sizeof packet);
}

float lanesSum(const Packet& packet) {
  float sum = 0;
  for (std::size_t i = 0; i < kPacket; ++i) sum += packet[i];
  return sum;
}

}  // namespace

// The speaker database's scan spends its time here: built once for the
// baseline and once for AVX2 processors, picked when the program loads.
// ThreadSanitizer's runtime is not set up yet when the loader runs that
// pick (an ifunc resolver), so an instrumented build takes the baseline only.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define PV_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define PV_VECTOR_CLONES
#endif

PV_VECTOR_CLONES DotAndSquares dotAndSquaresOfSecond(const float* a, const float* b, std::size_t count) {
  // Two packets per quantity and step, kept in registers: independent sums
  // the processor can overlap.
  Packet dot0{}, dot1{}, bb0{}, bb1{};
  std::size_t i = 0;
  for (; i + 2 * kPacket <= count; i += 2 * kPacket) {
    Packet x0, x1, y0, y1;
    loadPacket(x0, a + i);
    loadPacket(x1, a + i + kPacket);
    loadPacket(y0, b + i);
    loadPacket(y1, b + i + kPacket);
    dot0 += x0 * y0;
    dot1 += x1 * y1;
    bb0 += y0 * y0;
    bb1 += y1 * y1;
  }
  DotAndSquares result{lanesSum(dot0 + dot1), 0, lanesSum(bb0 + bb1)};
  for (; i < count; ++i) {
    result.dot += a[i] * b[i];
    result.bb += b[i] * b[i];
  }
  return result;
}

void addInto(float* target, const float* values, std::size_t count) {
  if (count == 0) return;
  Eigen::Map<Eigen::VectorXf>(target, size(count)) += ConstVector(values, size(count));
}

bool allFinite(const std::vector<float>& values) {
  return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

}  // namespace voxtrellis::embedding
