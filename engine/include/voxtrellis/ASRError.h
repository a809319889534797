#pragma once

#include <stdexcept>
#include <string>

namespace voxtrellis {

// Failures of the speech recogniser. what() is the user-facing description;
// decoder faults are processingFailed with a message.
class ASRError : public std::runtime_error {
 public:
  enum class Code {
    processingFailed,
    unsupportedPlatform,
    notInitialized,
    invalidAudioData,
    modelLoadFailed,
    modelCompilationFailed,
  };

  static ASRError processingFailed(std::string message) { return ASRError(Code::processingFailed, std::move(message)); }
  static ASRError unsupportedPlatform(std::string message) {
    return ASRError(Code::unsupportedPlatform, std::move(message));
  }
  static ASRError notInitialized() { return ASRError(Code::notInitialized); }
  static ASRError invalidAudioData() { return ASRError(Code::invalidAudioData); }
  static ASRError modelLoadFailed() { return ASRError(Code::modelLoadFailed); }
  static ASRError modelCompilationFailed() { return ASRError(Code::modelCompilationFailed); }

  explicit ASRError(Code code, std::string message = {});

  Code code() const { return m_code; }
  // The text carried by processingFailed and unsupportedPlatform; empty otherwise.
  const std::string& message() const { return m_message; }
  std::string errorDescription() const { return what(); }

  static std::string describe(Code code, const std::string& message);

  friend bool operator==(const ASRError& a, const ASRError& b) {
    return a.m_code == b.m_code && a.m_message == b.m_message;
  }

 private:
  Code m_code;
  std::string m_message;
};

}  // namespace voxtrellis
