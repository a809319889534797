#pragma once

namespace voxtrellis {

// What one call of a model costs, which decides how many threads it gets.
// `heavy`: a large call over a whole window (encoder, preprocessor,
// segmentation, embeddings) that pays for a pool of every granted core.
// `perStep`: a small call made once per decoding step (the recogniser's
// decoder and joint, the streaming decoders); several such sessions run in
// turn, so each gets a couple of threads that sleep instead of spinning,
// or their pools would fight over the cores between calls.
enum class ModelCost { heavy, perStep };

}  // namespace voxtrellis
