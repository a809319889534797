#pragma once

#include <voxtrellis/ASRResult.h>
#include <voxtrellis/AsrManager.h>
#include <voxtrellis/AudioSource.h>

#include <span>
#include <vector>

namespace voxtrellis::window {

// The batch recogniser's window step as the sliding-window recogniser uses it.
struct StepResult {
  std::vector<int> tokens;
  std::vector<int> timestamps;  // encoder frames from the window's first sample
  std::vector<float> confidences;
  int encoderSequenceLength = 0;
};

// One window decoded from its first frame with the source's decoder state
// (carried on when the window succeeds). Windows must not exceed the
// recogniser's input.
StepResult transcribe(AsrManager& manager, std::span<const float> samples, AudioSource source, bool isLastChunk);

// Text, timings and confidence of tokens (timestamps in stream frames).
ASRResult resultOf(const AsrManager& manager, const std::vector<int>& tokens, const std::vector<int>& timestamps,
                   const std::vector<float>& confidences, int encoderSequenceLength, std::span<const float> samples,
                   double processingTime);

// Resets and primes the source's decoder state.
void primeDecoderState(AsrManager& manager, AudioSource source);

}  // namespace voxtrellis::window
