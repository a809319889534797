#pragma once

#include <atomic>

namespace voxtrellis::detail {

// Test seam: while set, every TdtDecoderState::make() fails as if memory ran out.
void setDecoderStateAllocationFailsForTesting(bool fails);

}  // namespace voxtrellis::detail
