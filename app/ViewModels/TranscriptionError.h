#pragma once

#include <stdexcept>

namespace parlowvista {

// The one error the processing roads of TranscriptionViewModel raise themselves: a recogniser
// or diarizer missing when its step starts. Description "Models not initialized".
class TranscriptionError : public std::runtime_error {
 public:
  enum class Kind { notInitialized };
  TranscriptionError() : std::runtime_error("Models not initialized") {}
  Kind kind() const { return Kind::notInitialized; }
};

}  // namespace parlowvista
