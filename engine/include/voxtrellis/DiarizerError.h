#pragma once

#include <stdexcept>
#include <string>

namespace voxtrellis {

// Failures of the diarizers, also raised by the aligned model-array pool
// (memoryAllocationFailed, invalidArrayBounds). what() is the user-facing
// description.
class DiarizerError : public std::runtime_error {
 public:
  enum class Code {
    processingFailed,
    notInitialized,
    modelDownloadFailed,
    modelCompilationFailed,
    embeddingExtractionFailed,
    invalidAudioData,
    memoryAllocationFailed,
    invalidArrayBounds,
  };

  static DiarizerError processingFailed(std::string message) {
    return DiarizerError(Code::processingFailed, std::move(message));
  }
  static DiarizerError notInitialized() { return DiarizerError(Code::notInitialized); }
  static DiarizerError modelDownloadFailed() { return DiarizerError(Code::modelDownloadFailed); }
  static DiarizerError modelCompilationFailed() { return DiarizerError(Code::modelCompilationFailed); }
  static DiarizerError embeddingExtractionFailed() { return DiarizerError(Code::embeddingExtractionFailed); }
  static DiarizerError invalidAudioData() { return DiarizerError(Code::invalidAudioData); }
  static DiarizerError memoryAllocationFailed() { return DiarizerError(Code::memoryAllocationFailed); }
  static DiarizerError invalidArrayBounds() { return DiarizerError(Code::invalidArrayBounds); }

  explicit DiarizerError(Code code, std::string message = {});

  Code code() const { return m_code; }
  // The text carried by processingFailed; empty for the other cases.
  const std::string& message() const { return m_message; }
  std::string errorDescription() const { return what(); }

  static std::string describe(Code code, const std::string& message);

  friend bool operator==(const DiarizerError& a, const DiarizerError& b) {
    return a.m_code == b.m_code && a.m_message == b.m_message;
  }

 private:
  Code m_code;
  std::string m_message;
};

}  // namespace voxtrellis
