#include <voxtrellis/ASRError.h>
#include <voxtrellis/TdtDecoderState.h>

#include "ASR/TDT/StateAllocation.h"

#include <algorithm>
#include <new>

namespace voxtrellis {

namespace {
std::atomic<bool> g_failNextAllocations{false};
}

namespace detail {
void setDecoderStateAllocationFailsForTesting(bool fails) {
  g_failNextAllocations = fails;
}
}  // namespace detail

TdtDecoderState TdtDecoderState::make() {
  TdtDecoderState state;
  try {
    if (g_failNextAllocations.load()) {
      throw std::bad_alloc();
    }
    state.hiddenState.assign(stateElementCount, 0.0f);
    state.cellState.assign(stateElementCount, 0.0f);
  } catch (const std::exception& e) {
    // Memory pressure is not the caller's programming error: report it as a
    // recognition failure and keep the process alive.
    throw ASRError::processingFailed(std::string("Failed to allocate decoder state: ") + e.what());
  }
  return state;
}

void TdtDecoderState::reset() {
  if (hiddenState.size() != static_cast<size_t>(stateElementCount)) {
    hiddenState.assign(stateElementCount, 0.0f);
  } else {
    std::fill(hiddenState.begin(), hiddenState.end(), 0.0f);
  }
  if (cellState.size() != static_cast<size_t>(stateElementCount)) {
    cellState.assign(stateElementCount, 0.0f);
  } else {
    std::fill(cellState.begin(), cellState.end(), 0.0f);
  }
  lastToken.reset();
  predictorOutput.reset();
  timeJump.reset();
}

}  // namespace voxtrellis
