#pragma once

#include <voxtrellis/ASRConfig.h>
#include <voxtrellis/ASRResult.h>
#include <voxtrellis/AsrModels.h>
#include <voxtrellis/AudioSource.h>
#include <voxtrellis/ProgressStream.h>
#include <voxtrellis/TdtDecoderState.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace voxtrellis {

// The engine's batch speech recogniser: four models of a token-and-duration
// transducer (preprocessor, encoder, decoder, joint), the vocabulary, one
// decoder state per AudioSource and a progress emitter. Turns 16 kHz mono
// float samples into text with one TokenTiming per token.
//
// Audio of up to 240 000 samples (15 s) is one zero-padded window; longer
// audio is cut into overlapping chunks that are merged again, reporting
// progress on transcriptionProgressStream() after every chunk but the last.
//
// Threading: every call blocks and runs on the caller's thread; use one
// operation at a time. The progress stream may be drained from any thread.
// Shared-owned so that progress callbacks never outlive it.
class AudioPCMBuffer;

class AsrManager : public std::enable_shared_from_this<AsrManager> {
 public:
  static std::shared_ptr<AsrManager> create(const ASRConfig& config = ASRConfig::defaults());
  ~AsrManager();
  AsrManager(const AsrManager&) = delete;
  AsrManager& operator=(const AsrManager&) = delete;

  const ASRConfig& config() const;
  // Encoder, decoder and joint are present (and the preprocessor when a model bundle was given).
  bool isAvailable() const;
  // The current progress stream (a new session's when none is open).
  std::shared_ptr<ProgressStream> transcriptionProgressStream();

  // Takes the models and vocabulary of `models`. Checks nothing, primes nothing.
  void initialize(const AsrModels& models);
  // Resets `state` and runs the decoder once on token 0. Throws
  // ASRError::notInitialized without a decoder model, and model errors.
  void initializeDecoderState(TdtDecoderState& state);
  // Primes the microphone state, then the system state.
  void resetDecoderState();
  void resetDecoderState(AudioSource source);
  // Fresh, unprimed states for both sources.
  void resetState();
  // Drops the four models (keeps bundle and vocabulary) and resets both states.
  void cleanup();

  // Transcribes samples (16 kHz mono float). Throws ASRError::notInitialized,
  // ASRError::invalidAudioData (fewer than 16 000 samples), ASRError and model
  // errors. Success or failure, both decoder states are primed afresh, so no
  // context passes from one call to the next.
  ASRResult transcribe(std::span<const float> samples, AudioSource source);
  // A PCM buffer: used as it is when already 16 kHz mono float, else
  // converted first (AudioConverterError passes through).
  ASRResult transcribe(const AudioPCMBuffer& buffer, AudioSource source);
  // Reads and converts an audio file first (AudioFileError and
  // AudioConverterError pass through before any recognition work).
  ASRResult transcribe(const std::filesystem::path& audioFile, AudioSource source);

  TdtDecoderState& decoderState(AudioSource source);
  const TdtDecoderState& decoderState(AudioSource source) const;
  const std::optional<AsrModels>& asrModels() const;
  const std::map<int64_t, std::string>& vocabulary() const;

  // ---- one buffer ---------------------------------------------------------

  ASRResult transcribeWithState(std::span<const float> samples, TdtDecoderState& decoderState);

  struct InferenceResult {
    TdtHypothesis hypothesis;
    int encoderSequenceLength = 0;
  };
  // Preprocessor, encoder and decoder on one padded window. Frame indices of
  // the hypothesis are offset by `globalFrameOffset`. `keepTokenAtEnd`: no
  // audio follows this window and no flush runs (see TdtDecoderV3).
  InferenceResult executeMLInferenceWithTimings(std::span<const float> paddedSamples, std::optional<int> originalLength,
                                                std::optional<int> actualAudioFrames, TdtDecoderState& decoderState,
                                                int contextFrameAdjustment, bool isLastChunk, int globalFrameOffset,
                                                bool keepTokenAtEnd = false);

  // ---- tokens to text ------------------------------------------------------

  // Text, timings (made from frames unless `tokenTimings` is given), duration
  // and confidence. Never throws.
  ASRResult processTranscriptionResult(const std::vector<int>& tokenIds, const std::vector<int>& timestamps,
                                       const std::vector<float>& confidences, const std::vector<int>& tokenDurations,
                                       int encoderSequenceLength, std::span<const float> audioSamples,
                                       double processingTime, const std::vector<TokenTiming>& tokenTimings = {}) const;
  std::pair<std::string, std::vector<TokenTiming>> convertTokensWithExistingTimings(
      const std::vector<int>& tokenIds, const std::vector<TokenTiming>& timings) const;
  std::vector<TokenTiming> createTokenTimings(const std::vector<int>& tokenIds, const std::vector<int>& timestamps,
                                              const std::vector<float>& confidences,
                                              const std::vector<int>& tokenDurations) const;
  float calculateConfidence(double duration, int tokenCount, bool isEmpty,
                            const std::vector<float>& tokenConfidences) const;

  // ---- streaming windows ---------------------------------------------------

  struct StreamingChunkResult {
    std::vector<int> tokens;
    std::vector<int> timestamps;
    std::vector<float> confidences;
    int encoderSequenceLength = 0;
  };
  // One window of a live stream, decoded from the source's stored state. The
  // stored state changes only when the window succeeds.
  StreamingChunkResult transcribeStreamingChunk(std::span<const float> chunk, AudioSource source,
                                                const std::vector<int>& previousTokens, bool isLastChunk);

  struct DeduplicationResult {
    std::vector<int> deduped;
    int removedCount = 0;
  };
  // Drops from `current` the tokens that repeat the end of `previous`.
  DeduplicationResult removeDuplicateTokenSequence(const std::vector<int>& previous, const std::vector<int>& current,
                                                   int maxOverlap) const;

  struct Impl;

 private:
  explicit AsrManager(const ASRConfig& config);
  void primeBothStates();
  std::unique_ptr<Impl> m_impl;
};

}  // namespace voxtrellis
