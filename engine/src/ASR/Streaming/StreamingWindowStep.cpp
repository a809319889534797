#include "ASR/Streaming/StreamingWindowStep.h"

#include "ASR/AsrManagerImpl.h"

namespace voxtrellis::window {

StepResult transcribe(AsrManager& manager, std::span<const float> samples, AudioSource source, bool isLastChunk) {
  // Windows overlap, so where the previous window's decoding stopped says
  // nothing about this one: a carried jump would resume 2 s into the window
  // and lose the start of a chunk with less left context than that. The
  // decoder's label context (last token and recurrent state) carries on.
  manager.decoderState(source).timeJump.reset();
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
