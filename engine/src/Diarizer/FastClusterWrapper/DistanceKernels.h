#pragma once

#include <cstddef>

namespace voxtrellis {

// Squared Euclidean distance between two rows of `dim` values.
using DistanceKernel = double (*)(const double*, const double*, std::size_t);
using FloatDistanceKernel = float (*)(const float*, const float*, std::size_t);

// The fastest kernel this processor runs (AVX2 with FMA where it has them).
DistanceKernel pickKernel();
FloatDistanceKernel pickFloatKernel();

}  // namespace voxtrellis
