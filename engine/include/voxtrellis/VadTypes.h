#pragma once

#include <voxtrellis/ComputeUnits.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace voxtrellis {

// Settings of the voice-activity detector.
struct VadConfig {
  // Probability at or above which a chunk counts as voice; also the base
  // threshold of speech segmentation.
  float defaultThreshold = 0.85f;
  bool debugMode = false;
  ComputeUnits computeUnits = ComputeUnits::cpuAndNeuralEngine;

  static VadConfig defaultConfig() { return {}; }
};

// The detector's recurrent state between chunks: 128 hidden values, 128 cell
// values and the last 64 samples of the previous chunk. A plain value: the
// caller carries it from one chunk to the next.
struct VadState {
  static constexpr int contextLength = 64;
  static constexpr int stateSize = 128;

  std::vector<float> hiddenState;
  std::vector<float> cellState;
  std::vector<float> context;

  // All zeros.
  static VadState initial();
};

// One chunk's outcome.
struct VadResult {
  float probability = 0;       // speech probability of the chunk, 0...1
  bool isVoiceActive = false;  // probability >= the detector's threshold
  double processingTime = 0;   // seconds spent on the chunk, preparation and model call
  VadState outputState;        // feed into the next chunk
};

// Failures of the voice-activity detector. what() is the description.
class VadError : public std::runtime_error {
 public:
  enum class Code { modelProcessingFailed, notInitialized, modelLoadingFailed };

  // "Model processing failed: " + message.
  static VadError modelProcessingFailed(const std::string& message);
  // "VAD system not initialized".
  static VadError notInitialized();
  // "Failed to load VAD model".
  static VadError modelLoadingFailed();

  Code code() const { return m_code; }
  const std::string& message() const { return m_message; }

 private:
  VadError(Code code, const std::string& description, std::string message = {});
  Code m_code;
  std::string m_message;
};

}  // namespace voxtrellis
