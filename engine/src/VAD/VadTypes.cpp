#include <voxtrellis/VadSegmentation.h>
#include <voxtrellis/VadTypes.h>

#include <algorithm>
#include <cmath>

namespace voxtrellis {

VadState VadState::initial() {
  return VadState{std::vector<float>(stateSize, 0.0f), std::vector<float>(stateSize, 0.0f),
                  std::vector<float>(contextLength, 0.0f)};
}

VadError::VadError(Code code, const std::string& description, std::string message)
    : std::runtime_error(description), m_code(code), m_message(std::move(message)) {}

VadError VadError::modelProcessingFailed(const std::string& message) {
  return VadError(Code::modelProcessingFailed, "Model processing failed: " + message, message);
}

VadError VadError::notInitialized() {
  return VadError(Code::notInitialized, "VAD system not initialized");
}

VadError VadError::modelLoadingFailed() {
  return VadError(Code::modelLoadingFailed, "Failed to load VAD model");
}

void VadSegmentationConfig::validate() const {
  const auto duration = [](double value, const char* name) {
    if (std::isnan(value) || value < 0) throw std::invalid_argument(std::string(name) + " must be 0 or more seconds");
  };
  const auto probability = [](float value, const char* name) {
    if (!(value >= 0.0f && value <= 1.0f)) throw std::invalid_argument(std::string(name) + " must lie in 0...1");
  };
  duration(minSpeechDuration, "minSpeechDuration");
  duration(minSilenceDuration, "minSilenceDuration");
  duration(speechPadding, "speechPadding");
  duration(minSilenceAtMaxSpeech, "minSilenceAtMaxSpeech");
  if (!(maxSpeechDuration > 0)) throw std::invalid_argument("maxSpeechDuration must be above 0 seconds");
  for (double d : {minSpeechDuration, minSilenceDuration, speechPadding, minSilenceAtMaxSpeech}) {
    if (!std::isfinite(d)) throw std::invalid_argument("durations other than maxSpeechDuration must be finite");
  }
  probability(silenceThresholdForSplit, "silenceThresholdForSplit");
  if (std::isnan(negativeThresholdOffset) || negativeThresholdOffset < 0) {
    throw std::invalid_argument("negativeThresholdOffset must be 0 or more");
  }
  if (negativeThreshold) probability(*negativeThreshold, "negativeThreshold");
}

float VadSegmentationConfig::effectiveNegativeThreshold(float baseThreshold) const {
  return negativeThreshold ? *negativeThreshold : std::max(baseThreshold - negativeThresholdOffset, 0.01f);
}

}  // namespace voxtrellis
