#pragma once

// Tensors are part of the engine's public interface; engine sources may
// include them by either path.
#include <voxtrellis/Tensor.h>
