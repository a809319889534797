#include <voxtrellis/DiarizerError.h>

namespace voxtrellis {

DiarizerError::DiarizerError(Code code, std::string message)
    : std::runtime_error(describe(code, message)), m_code(code), m_message(std::move(message)) {}

std::string DiarizerError::describe(Code code, const std::string& message) {
  switch (code) {
    case Code::processingFailed: return "Processing failed: " + message;
    case Code::notInitialized: return "Diarization system not initialized. Call initialize() first.";
    case Code::modelDownloadFailed: return "Failed to download required models.";
    case Code::modelCompilationFailed: return "Failed to compile ONNX models.";
    case Code::embeddingExtractionFailed: return "Failed to extract speaker embedding from audio.";
    case Code::invalidAudioData: return "Invalid audio data provided.";
    case Code::memoryAllocationFailed: return "Failed to allocate ANE-aligned memory.";
    case Code::invalidArrayBounds: return "Array bounds exceeded for zero-copy view.";
  }
  return "Processing failed: " + message;
}

}  // namespace voxtrellis
