#pragma once

namespace voxtrellis {

// Marks the speech engine module; it has no fields or operations.
struct Voxtrellis {};

}  // namespace voxtrellis
