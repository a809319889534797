#pragma once

#include <voxtrellis/ASRConfig.h>
#include <voxtrellis/AsrModels.h>
#include <voxtrellis/AudioFormat.h>
#include <voxtrellis/AudioSource.h>
#include <voxtrellis/ClosableQueue.h>
#include <voxtrellis/TokenTiming.h>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace voxtrellis {

// Settings of the sliding-window recogniser, in seconds.
struct StreamingAsrConfig {
  double chunkSeconds = 15.0;               // new audio per window; the window centre advances by this much
  double hypothesisChunkSeconds = 2.0;      // kept for callers; not used by the recogniser
  double leftContextSeconds = 10.0;         // already-heard audio before the chunk
  double rightContextSeconds = 2.0;         // later audio after the chunk (none while flushing)
  double minContextForConfirmation = 10.0;  // audio received before anything can be confirmed
  double confirmationThreshold = 0.85;      // window confidence that confirms the previous hypothesis

  static StreamingAsrConfig defaultConfig() { return {}; }
  static StreamingAsrConfig streaming() { return {11.0, 1.0, 2.0, 2.0, 10.0, 0.8}; }
  static StreamingAsrConfig custom(double chunkDuration, double confirmationThreshold);

  // 16 kHz with the default decoder limits.
  ASRConfig asrConfig() const;
  // Throws StreamingAsrError::invalidConfiguration for a length that is not
  // finite, negative (or, for the chunk, not above 0), or longer than a day.
  void validate() const;
};

// One processed window.
struct StreamingTranscriptionUpdate {
  std::string text;          // this window's text, not the whole transcript
  bool isConfirmed = false;  // confident window with enough context
  float confidence = 0;
  std::chrono::system_clock::time_point timestamp;
  std::vector<int> tokenIds;
  std::vector<TokenTiming> tokenTimings;  // times from the start of the stream

  std::vector<std::string> tokens() const;
};

// Errors of the sliding-window recogniser and its session. what() is the description.
class StreamingAsrError : public std::runtime_error {
 public:
  enum class Code {
    streamAlreadyExists,
    audioBufferProcessingFailed,
    audioConversionFailed,
    modelProcessingFailed,
    invalidConfiguration,
    modelsNotLoaded,
    bufferOverflow,
  };

  static StreamingAsrError streamAlreadyExists(AudioSource source);
  static StreamingAsrError audioBufferProcessingFailed(const std::string& underlying);
  static StreamingAsrError audioConversionFailed(const std::string& underlying);
  static StreamingAsrError modelProcessingFailed(const std::string& underlying);
  static StreamingAsrError invalidConfiguration(const std::string& message);
  static StreamingAsrError modelsNotLoaded();
  static StreamingAsrError bufferOverflow();

  Code code() const { return m_code; }

 private:
  StreamingAsrError(Code code, const std::string& description) : std::runtime_error(description), m_code(code) {}
  Code m_code;
};

// "microphone" or "system".
std::string audioSourceName(AudioSource source);

using StreamingUpdateQueue = ClosableQueue<StreamingTranscriptionUpdate>;

// Live recognition of one audio source by re-running the batch recogniser
// over overlapping windows: each window is a chunk of new audio with left
// and right context; the centre then advances by one chunk. Each window
// yields an update and refreshes the volatile transcript (the latest
// window's text); a later confident window promotes it to the confirmed
// transcript. Every word is taken from the window whose chunk holds it, so
// overlapping windows never repeat words. Window lengths are whole 80 ms
// encoder frames (configured lengths are cut down to them) and never exceed
// the recogniser's 240 000-sample input: a longer configured window gives up
// left context first, then chunk length (both noted in the log).
//
// Threading: streamAudio may be called from any thread and keeps the callers'
// order; a recognition thread consumes the audio. Other calls may come from
// any thread; reset() waits for a window in progress.
class StreamingAsrManager {
 public:
  // Throws StreamingAsrError::invalidConfiguration.
  explicit StreamingAsrManager(const StreamingAsrConfig& config = StreamingAsrConfig::defaultConfig());
  ~StreamingAsrManager();
  StreamingAsrManager(const StreamingAsrManager&) = delete;
  StreamingAsrManager& operator=(const StreamingAsrManager&) = delete;

  // Downloads (when missing) and loads the recogniser models, then starts.
  void start(AudioSource source = AudioSource::microphone);
  // Creates and primes a recogniser with the models and starts the
  // recognition thread. Throws the recogniser's errors; a second start
  // throws invalidConfiguration.
  void start(const AsrModels& models, AudioSource source = AudioSource::microphone);

  // Queues a buffer in any format; never blocks, never fails. Dropped after finish() or cancel().
  void streamAudio(const AudioPCMBuffer& buffer);

  // A new update queue; every open queue receives every later update. All
  // queues close when recognition ends (after finish() or cancel()); a queue
  // asked for afterwards is closed at once.
  std::shared_ptr<StreamingUpdateQueue> transcriptionUpdates();

  // Ends the input, waits for the remaining audio to be recognised and
  // returns the text of the whole stream. Rethrows a failure of the
  // recognition thread.
  std::string finish();
  // Clears transcripts, audio and window position and primes the decoder
  // state again; the stream goes on from sample 0 with the next buffer.
  // Throws the recogniser's errors.
  void reset();
  // Ends the input, stops recognition and closes the update queues.
  void cancel();

  // Windows the recogniser failed on since start() or reset(): each is
  // logged and skipped, its words lost, and the stream goes on.
  int64_t failedWindows() const;

  AudioSource source() const;
  std::string volatileTranscript() const;
  std::string confirmedTranscript() const;

  // The window lengths in use, in samples: whole encoder frames, fitted to
  // the recogniser's input.
  int64_t chunkSamples() const;
  int64_t leftContextSamples() const;
  int64_t rightContextSamples() const;

  // Where a recovery that must reload models gets them (download and load
  // by default); a seam for callers with their own model store.
  void setModelLoader(std::function<AsrModels()> loader);

 private:
  struct Impl;
  std::shared_ptr<Impl> m_impl;
};

}  // namespace voxtrellis
