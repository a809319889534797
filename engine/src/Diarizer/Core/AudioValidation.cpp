#include <voxtrellis/AudioValidation.h>

#include <cmath>

namespace voxtrellis {

AudioValidationResult AudioValidation::validateAudio(std::span<const float> samples) {
  AudioValidationResult result;
  result.durationSeconds = static_cast<float>(samples.size()) / 16000.0f;
  if (result.durationSeconds < 1.0f) result.issues.push_back("Audio too short (minimum 1 second)");
  if (samples.empty()) result.issues.push_back("No audio data");
  if (calculateRMSEnergy(samples) < 0.01f) result.issues.push_back("Audio too quiet or silent");
  result.isValid = result.issues.empty();
  return result;
}

bool AudioValidation::validateEmbedding(const std::vector<float>& embedding) {
  if (embedding.empty()) return false;
  double sum = 0;
  for (float v : embedding) {
    if (!std::isfinite(v)) return false;
    sum += static_cast<double>(v) * v;
  }
  return std::sqrt(sum) > 0.1;
}

float AudioValidation::calculateRMSEnergy(std::span<const float> samples) {
  if (samples.empty()) return 0;
  double sum = 0;
  for (float v : samples) sum += static_cast<double>(v) * v;
  return static_cast<float>(std::sqrt(sum / static_cast<double>(samples.size())));
}

}  // namespace voxtrellis
