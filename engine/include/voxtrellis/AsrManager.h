#pragma once

#include <voxtrellis/ASRConfig.h>
#include <voxtrellis/ASRResult.h>
#include <voxtrellis/AsrModels.h>
#include <voxtrellis/AudioSource.h>
#include <voxtrellis/ProgressStream.h>
#include <voxtrellis/TdtDecoderState.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>

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
class AsrManagerImpl;

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
  // The same, telling `onProgress` (on this thread) the fraction of the audio
  // done after every chunk of long audio but the last: increasing, in 0...1.
  // Short audio reports nothing. A stop asked for through `stop` is seen
  // before the next chunk (or the one window of short audio) and ends the
  // call with WorkStopped ("Recognition was stopped"), the states primed as
  // after any failure.
  using ProgressHandler = std::function<void(double)>;
  ASRResult transcribe(std::span<const float> samples, AudioSource source, const ProgressHandler& onProgress,
                       std::stop_token stop = {});
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

  // The user of the engine's internal steps (window inference, streaming
  // windows, token results); see ASR/AsrManagerImpl.h.
  friend class AsrManagerImpl;

 private:
  explicit AsrManager(const ASRConfig& config);
  std::unique_ptr<AsrManagerImpl> m_impl;
};

}  // namespace voxtrellis
