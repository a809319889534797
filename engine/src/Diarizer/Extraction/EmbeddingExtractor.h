#pragma once

#include "Diarizer/Extraction/WeSpeakerEmbeddingModel.h"
#include "Shared/ANEMemoryOptimizer.h"
#include "Shared/AppLogger.h"

#include <memory>
#include <span>
#include <vector>

namespace voxtrellis {

// Runs the embedding model once per speaker slot with the window's waveform
// and that slot's frame mask. One extractor per owner, used by one thread at
// a time (its two input arrays are pooled and reused for every slot).
class EmbeddingExtractor {
 public:
  explicit EmbeddingExtractor(std::shared_ptr<WeSpeakerEmbeddingModel> embeddingModel);

  // One embedding of 256 values per mask, in mask order. A slot whose mask
  // sums to less than `minActivityThreshold` (or an empty mask with a
  // positive threshold) gets 256 zeros without a model run, as does a model
  // that gives no "embedding" output. Audio shorter than 10 s is repeated to
  // fill the waveform and the mask's share of the real audio is repeated
  // likewise. Throws DiarizerError (memoryAllocationFailed; processingFailed
  // when the audio covers no mask frame at all or the model's output is
  // shorter than 256 values) and the model's ModelRuntimeError; nothing is
  // returned for earlier slots then.
  std::vector<std::vector<float>> getEmbeddings(std::span<const float> audio,
                                                const std::vector<std::vector<float>>& masks,
                                                float minActivityThreshold);

 private:
  std::shared_ptr<WeSpeakerEmbeddingModel> m_wespeakerModel;
  AppLogger m_logger;
  ANEMemoryOptimizer m_memoryOptimizer;
};

}  // namespace voxtrellis
