#pragma once

#include <stdexcept>
#include <string>

namespace voxtrellis {

// Failures the offline diarizer reports itself. what() is the user-facing description.
class OfflineDiarizationError : public std::runtime_error {
 public:
  enum class Kind {
    modelNotLoaded,
    invalidConfiguration,
    invalidBatchSize,
    processingFailed,
    exportFailed,
    noSpeechDetected
  };

  static OfflineDiarizationError modelNotLoaded(const std::string& message) { return {Kind::modelNotLoaded, message}; }
  static OfflineDiarizationError invalidConfiguration(const std::string& message) {
    return {Kind::invalidConfiguration, message};
  }
  static OfflineDiarizationError invalidBatchSize(const std::string& message) {
    return {Kind::invalidBatchSize, message};
  }
  static OfflineDiarizationError processingFailed(const std::string& message) {
    return {Kind::processingFailed, message};
  }
  static OfflineDiarizationError exportFailed(const std::string& message) { return {Kind::exportFailed, message}; }
  static OfflineDiarizationError noSpeechDetected() { return {Kind::noSpeechDetected, {}}; }

  Kind kind() const { return m_kind; }
  // The payload (empty for noSpeechDetected).
  const std::string& message() const { return m_message; }
  std::string errorDescription() const { return what(); }

 private:
  OfflineDiarizationError(Kind kind, const std::string& message)
      : std::runtime_error(describe(kind, message)), m_kind(kind), m_message(message) {}
  static std::string describe(Kind kind, const std::string& message) {
    switch (kind) {
      case Kind::modelNotLoaded: return "Model not loaded: " + message;
      case Kind::invalidConfiguration: return "Invalid configuration: " + message;
      case Kind::invalidBatchSize: return "Invalid batch size: " + message;
      case Kind::processingFailed: return "Processing failed: " + message;
      case Kind::exportFailed: return "Failed to export data: " + message;
      case Kind::noSpeechDetected: return "No speech detected in audio";
    }
    return message;
  }

  Kind m_kind;
  std::string m_message;
};

}  // namespace voxtrellis
