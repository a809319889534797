#pragma once

namespace voxtrellis {

// What one call of a model costs, which decides how many threads it gets.
// `heavy`: a few large calls over a whole window (encoder, preprocessor,
// segmentation, embeddings) that pay for a pool of every granted core.
// `perStep`: many small calls in a loop (a decoding step, a detector chunk);
// a pool wider than two threads costs more to wake than it saves. They all
// run on one shared pool of two threads whose worker spins between calls:
// a sleeping worker must be woken for every call, and pools of their own
// would keep one model's worker spinning through the other's calls.
// Which model has which cost is the catalogue's table (Models/ModelCosts.h).
enum class ModelCost { heavy, perStep };

// The threads one session runs with.
struct ThreadSettings {
  int intraOpThreads = 1;
  bool spinning = true;  // idle workers busy-wait for the next call instead of sleeping
  // The session runs on the process's one pool for per-step models (of
  // lightPoolThreads() threads, spinning) instead of a pool of its own.
  bool sharedPool = false;

  bool operator==(const ThreadSettings&) const = default;
};

}  // namespace voxtrellis
