#pragma once

#include <voxtrellis/AsrModels.h>
#include <voxtrellis/AudioFormat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace voxtrellis {

// The model variant of the end-of-utterance recogniser and every size of its
// chunking (16 kHz samples; consecutive chunks overlap by chunkSamples -
// shiftSamples).
class StreamingChunkSize {
 public:
  enum Value { ms160, ms320, ms1600 };

  constexpr StreamingChunkSize(Value value) : m_value(value) {}  // NOLINT: a case converts implicitly
  constexpr Value value() const { return m_value; }

  int chunkSamples() const;               // 2560, 10080, 50928
  int melFrames() const;                  // 17, 64, 320: the front end's frames for one chunk
  int validOutputLen() const;             // 2, 4, 20: leading encoder frames decoded per chunk
  int shiftSamples() const;               // 1280, 5120, 25600
  int durationMs() const;                 // chunkSamples / 16
  int preCacheSize() const;               // 16, 9, 9
  std::string modelSubdirectory() const;  // "160ms", "320ms", "1600ms"

  friend constexpr bool operator==(StreamingChunkSize a, StreamingChunkSize b) { return a.m_value == b.m_value; }

 private:
  Value m_value;
};

// Live recognition with a cache-aware streaming transducer that also tells
// when the speaker has finished an utterance. Audio in any format the
// converter accepts is turned into 16 kHz mono float and cut into overlapping
// chunks; each chunk goes through the log-mel front end, the streaming
// encoder (with the caches of the previous chunk) and greedy decoding of its
// valid frames. An end of utterance is confirmed once the decoder has kept
// reporting it, with no new words, for the debounce time.
//
// Text arrives through two callbacks: the partial callback with the whole
// transcript so far whenever a chunk adds tokens, and the end-of-utterance
// callback with the transcript when an end is confirmed (once until reset()).
//
// Model folder: "streaming_encoder.mlmodelc", "decoder.mlmodelc",
// "joint_decision.mlmodelc" and "vocab.json".
//
// Each chunk is one transaction: features, encoder caches, decoder state,
// tokens and clock change together when it succeeds, and not at all when a
// model fails (its audio then stays buffered for the next call).
//
// Threading: calls may come from any thread and are serialised per chunk;
// every chunk is decoded exactly once. Callbacks run on the calling thread
// after their chunk is complete, partial before end of utterance, and may call
// back into the recogniser.
class StreamingEouAsrManager {
 public:
  using TextCallback = std::function<void(const std::string&)>;

  explicit StreamingEouAsrManager(const AsrModelConfiguration& configuration = AsrModelConfiguration{},
                                  StreamingChunkSize chunkSize = StreamingChunkSize::ms160, int eouDebounceMs = 1280,
                                  bool debugFeatures = false);
  ~StreamingEouAsrManager();
  StreamingEouAsrManager(const StreamingEouAsrManager&) = delete;
  StreamingEouAsrManager& operator=(const StreamingEouAsrManager&) = delete;

  bool eouDetected() const;
  int eouDebounceMs() const;
  // Applies from the next chunk.
  void setEouDebounceMs(int milliseconds);
  const AsrModelConfiguration& configuration() const;
  StreamingChunkSize chunkSize() const;
  bool debugFeatures() const;

  void setEouCallback(TextCallback callback);
  void setPartialCallback(TextCallback callback);

  // Loads the three models and the vocabulary from `modelDir` and starts
  // from empty caches and audio. Throws ModelRuntimeError (a model that is
  // missing, does not load, or has another interface) and AsrModelsError
  // (vocabulary); after a failure the models, caches and audio in use stay
  // as they were.
  void loadModels(const std::filesystem::path& modelDir);

  // Converts and buffers audio without decoding. Throws AudioConverterError.
  void appendAudio(const AudioPCMBuffer& buffer);
  // Converts, buffers and decodes every complete chunk; returns "" (text
  // comes through the callbacks and finish()). Throws ASRError::notInitialized
  // before loadModels once a chunk is complete, and the models' errors; the
  // failed chunk and those after it stay buffered.
  std::string process(const AudioPCMBuffer& buffer);
  // Decodes all buffered audio (complete chunks, then the rest padded with
  // zeros as one last chunk) and returns the transcript, handing the tokens
  // out. Caches, decoder state, clock and the end-of-utterance state stay.
  // Without a vocabulary returns "" and keeps the tokens. Throws like process.
  std::string finish();
  // Clears audio, tokens, end-of-utterance state, clock, caches and decoder
  // state. Models, callbacks and settings stay.
  void reset();
  // Buffers `seconds` of zeros without decoding. Throws std::invalid_argument
  // for a negative, NaN or infinite duration, or one of more than a day.
  void injectSilence(double seconds);
  // Writes {"mel_features": [...], "count": N} of every chunk's features
  // collected with debugFeatures on. Throws std::runtime_error when the file
  // cannot be written.
  void saveDebugFeatures(const std::filesystem::path& file) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace voxtrellis
