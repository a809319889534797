#pragma once

#include <chrono>

namespace voxtrellis {

// Seconds passed on the steady clock since `start`, for the timings the engine reports and logs.
inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace voxtrellis
