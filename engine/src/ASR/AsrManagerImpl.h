#pragma once

#include <voxtrellis/ASRConfig.h>
#include <voxtrellis/ASRResult.h>
#include <voxtrellis/AppLogger.h>
#include <voxtrellis/AsrManager.h>
#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/TdtDecoderState.h>

#include "ASR/ProgressEmitter.h"
#include "ASR/TDT/TdtDecoderModel.h"
#include "ASR/TDT/TdtEncoderModel.h"
#include "ASR/TDT/TdtJointModel.h"
#include "ASR/TDT/TdtPreprocessorModel.h"
#include "Onnx/OnnxModel.h"
#include "Onnx/PredictionOptions.h"
#include "Shared/SystemInfo.h"

#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace voxtrellis {

// The recogniser's state and inner steps behind AsrManager: the window
// inference shared by the single-window road, the chunk processor and the
// streaming recognisers, the streaming window operation and the turning of
// tokens into an ASRResult. Internal to the engine; reach it from an
// AsrManager with AsrManagerImpl::of().
//
// Threading as AsrManager: one operation at a time.
class AsrManagerImpl {
 public:
  static AsrManagerImpl& of(AsrManager& manager) { return *manager.m_impl; }
  static const AsrManagerImpl& of(const AsrManager& manager) { return *manager.m_impl; }

  explicit AsrManagerImpl(const ASRConfig& config);
  ~AsrManagerImpl();

  // ---- models and states ---------------------------------------------------

  bool isAvailable() const;
  // Resets `state` and runs the decoder once on token 0. Throws
  // ASRError::notInitialized without a decoder model, and model errors.
  void initializeDecoderState(TdtDecoderState& state);
  // Primes the microphone state, then the system state.
  void primeBothStates();
  TdtDecoderState& decoderState(AudioSource source);

  // ---- one buffer ----------------------------------------------------------

  // Up to one window: one padded window decoded with `state`; longer audio
  // goes through the chunk processor (which uses fresh states of its own and
  // reports progress to `progress`). Throws ASRError::notInitialized,
  // ASRError::invalidAudioData (fewer than 16 000 samples), model errors, and
  // WorkStopped when `stop` is asked for before a window or chunk.
  ASRResult transcribeWithState(std::span<const float> samples, TdtDecoderState& state,
                                const std::function<void(double)>& progress = {}, const std::stop_token& stop = {});

  struct InferenceResult {
    TdtHypothesis hypothesis;
    int encoderSequenceLength = 0;
  };
  // Preprocessor, encoder and decoder on one padded window. Frame indices of
  // the hypothesis are offset by `globalFrameOffset`. `keepTokenAtEnd`: no
  // audio follows this window and no flush runs (see TdtDecoderV3).
  InferenceResult executeMLInferenceWithTimings(std::span<const float> paddedSamples, std::optional<int> originalLength,
                                                std::optional<int> actualAudioFrames, TdtDecoderState& state,
                                                int contextFrameAdjustment, bool isLastChunk, int globalFrameOffset,
                                                bool keepTokenAtEnd = false);

  // The preprocessor's input: "audio_signal" [1, n] float32 (the samples, in
  // one block copy into an array of the shared cache) and "audio_length" [1],
  // `actualLength` or else n, in the width the preprocessor declares (32-bit
  // without a preprocessor).
  NamedTensors preparePreprocessorInput(std::span<const float> samples, std::optional<int> actualLength) const;

  // Decodes one window's encoder output ([1, 1024, T] float32) with the
  // decoder variant of the loaded bundle's version: version 2 uses blank id
  // 1024. `state` changes in place. Throws like TdtDecoderV3.
  TdtHypothesis tdtDecodeWithTimings(const Tensor& encoderOutput, int encoderSequenceLength, int actualAudioFrames,
                                     TdtDecoderState& state, int contextFrameAdjustment, bool isLastChunk,
                                     int globalFrameOffset, bool keepTokenAtEnd = false);

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

  // ---- fields --------------------------------------------------------------

  AppLogger logger{"ASR"};
  ASRConfig config;
  AudioConverter audioConverter;
  std::shared_ptr<TdtPreprocessorModel> preprocessorModel;
  std::shared_ptr<TdtEncoderModel> encoderModel;
  std::shared_ptr<TdtDecoderModel> decoderModel;
  std::shared_ptr<TdtJointModel> jointModel;
  std::optional<AsrModels> asrModels;
  std::shared_ptr<ProgressEmitter> progressEmitter = ProgressEmitter::create();
  std::map<int64_t, std::string> vocabulary;
  TdtDecoderState microphoneDecoderState;
  TdtDecoderState systemDecoderState;
  // Options of the preprocessor's and encoder's predictions, made on first use.
  std::optional<PredictionOptions> predictionOptions;
  // Warming of the shared array cache; waited for on destruction only.
  std::future<void> warming;
};

// Fixed numbers of the recogniser (16 kHz mono audio).
namespace asr {
inline constexpr int windowSamples = 240000;                                  // one model window, 15 s
inline constexpr int minimumSamples = 16000;                                  // 1 s
inline constexpr int samplesPerFrame = ASRConstants::samplesPerEncoderFrame;  // 80 ms
inline constexpr double frameSeconds = 0.08;
inline constexpr double chunkOverlapSeconds = 2.0;
inline constexpr int chunkSampleRate = 16000;

// Sample count rounded up to whole encoder frames when that still fits the window.
inline int frameAlignedLength(int count) {
  const int aligned = ((count + samplesPerFrame - 1) / samplesPerFrame) * samplesPerFrame;
  return (aligned > count && aligned <= windowSamples) ? aligned : count;
}
inline int framesFor(int samples) {
  return static_cast<int>(ASRConstants::calculateEncoderFrames(samples));
}
}  // namespace asr

}  // namespace voxtrellis
