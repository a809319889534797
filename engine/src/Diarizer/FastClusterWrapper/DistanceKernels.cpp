#include "Diarizer/FastClusterWrapper/DistanceKernels.h"

#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace voxtrellis {

namespace {

double squaredDistancePlain(const double* a, const double* b, std::size_t dim) {
  double sum = 0;
  for (std::size_t k = 0; k < dim; ++k) {
    const double d = a[k] - b[k];
    sum = std::fma(d, d, sum);
  }
  return sum;
}

#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) double squaredDistanceAvx2(const double* a, const double* b, std::size_t dim) {
  __m256d acc0 = _mm256_setzero_pd();
  __m256d acc1 = _mm256_setzero_pd();
  std::size_t k = 0;
  for (; k + 8 <= dim; k += 8) {
    const __m256d d0 = _mm256_sub_pd(_mm256_loadu_pd(a + k), _mm256_loadu_pd(b + k));
    const __m256d d1 = _mm256_sub_pd(_mm256_loadu_pd(a + k + 4), _mm256_loadu_pd(b + k + 4));
    acc0 = _mm256_fmadd_pd(d0, d0, acc0);
    acc1 = _mm256_fmadd_pd(d1, d1, acc1);
  }
  acc0 = _mm256_add_pd(acc0, acc1);
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, acc0);
  double sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
  for (; k < dim; ++k) {
    const double d = a[k] - b[k];
    sum = std::fma(d, d, sum);
  }
  return sum;
}
#endif

float squaredDistancePlainF(const float* a, const float* b, std::size_t dim) {
  float sum = 0;
  for (std::size_t k = 0; k < dim; ++k) {
    const float d = a[k] - b[k];
    sum += d * d;
  }
  return sum;
}

#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) float squaredDistanceAvx2F(const float* a, const float* b, std::size_t dim) {
  __m256 acc0 = _mm256_setzero_ps();
  __m256 acc1 = _mm256_setzero_ps();
  std::size_t k = 0;
  for (; k + 16 <= dim; k += 16) {
    const __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + k), _mm256_loadu_ps(b + k));
    const __m256 d1 = _mm256_sub_ps(_mm256_loadu_ps(a + k + 8), _mm256_loadu_ps(b + k + 8));
    acc0 = _mm256_fmadd_ps(d0, d0, acc0);
    acc1 = _mm256_fmadd_ps(d1, d1, acc1);
  }
  acc0 = _mm256_add_ps(acc0, acc1);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc0);
  float sum = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
  for (; k < dim; ++k) {
    const float d = a[k] - b[k];
    sum += d * d;
  }
  return sum;
}
#endif

}  // namespace

FloatDistanceKernel pickFloatKernel() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return squaredDistanceAvx2F;
#endif
  return squaredDistancePlainF;
}

DistanceKernel pickKernel() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return squaredDistanceAvx2;
#endif
  return squaredDistancePlain;
}

}  // namespace voxtrellis
