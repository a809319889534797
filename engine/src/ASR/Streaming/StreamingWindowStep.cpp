#include "ASR/Streaming/StreamingWindowStep.h"

#include "ASR/AsrManagerImpl.h"

namespace voxtrellis::window {

StepResult transcribe(AsrManager& manager, std::span<const float> samples, AudioSource source, bool isLastChunk) {
  // No previous tokens: the sliding window keeps each word by its time
  // instead of matching token runs against earlier windows.
  auto r = AsrManagerImpl::of(manager).transcribeStreamingChunk(samples, source, {}, isLastChunk);
  return {std::move(r.tokens), std::move(r.timestamps), std::move(r.confidences), r.encoderSequenceLength};
}

ASRResult resultOf(const AsrManager& manager, const std::vector<int>& tokens, const std::vector<int>& timestamps,
                   const std::vector<float>& confidences, int encoderSequenceLength, std::span<const float> samples,
                   double processingTime) {
  return AsrManagerImpl::of(manager).processTranscriptionResult(tokens, timestamps, confidences, {},
                                                                encoderSequenceLength, samples, processingTime);
}

void primeDecoderState(AsrManager& manager, AudioSource source) {
  manager.initializeDecoderState(manager.decoderState(source));
}

}  // namespace voxtrellis::window
