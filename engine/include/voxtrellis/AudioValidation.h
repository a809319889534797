#pragma once

#include <voxtrellis/DiarizerConfig.h>

#include <span>
#include <vector>

namespace voxtrellis {

// Plain checks of audio and voice embeddings before and during chunked
// diarization. Stateless; never throws.
struct AudioValidation {
  // 16 kHz samples assumed. Issues, in this order: "Audio too short (minimum
  // 1 second)", "No audio data", "Audio too quiet or silent" (RMS below 0.01).
  static AudioValidationResult validateAudio(std::span<const float> samples);
  // False for an empty embedding, one holding NaN or infinity, or one whose
  // Euclidean norm is not above 0.1.
  static bool validateEmbedding(const std::vector<float>& embedding);
  // Square root of the mean square; 0 for no samples.
  static float calculateRMSEnergy(std::span<const float> samples);
};

}  // namespace voxtrellis
