#include <voxtrellis/ASRError.h>

namespace voxtrellis {

ASRError::ASRError(Code code, std::string message)
    : std::runtime_error(describe(code, message)), m_code(code), m_message(std::move(message)) {}

std::string ASRError::describe(Code code, const std::string& message) {
  switch (code) {
    case Code::processingFailed: return "ASR processing failed: " + message;
    case Code::unsupportedPlatform: return message;
    case Code::notInitialized: return "AsrManager not initialized. Call initialize() first.";
    case Code::invalidAudioData: return "Invalid audio data provided. Must be at least 1 second of 16kHz audio.";
    case Code::modelLoadFailed: return "Failed to load Parakeet ONNX models.";
    case Code::modelCompilationFailed: return "ONNX model compilation failed after recovery attempts.";
  }
  return "ASR processing failed: " + message;
}

}  // namespace voxtrellis
