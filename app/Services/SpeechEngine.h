#pragma once

#include <voxtrellis/ASRResult.h>
#include <voxtrellis/DiarizationResult.h>
#include <voxtrellis/OfflineDiarizerConfig.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>

namespace parlowvista {

// How far a long step has come: a fraction in 0...1 that only grows, called on the step's
// own (worker) thread.
using StepProgress = std::function<void(double)>;

// The loaded batch recogniser. Blocking; any thread. One caller at a time: concurrent calls
// wait for each other.
class SpeechRecognizer {
 public:
  virtual ~SpeechRecognizer() = default;
  // 16 kHz mono float samples to text with token timings, telling `progress` (when given) the
  // share of long audio done. Throws the engine's errors (fewer than 16 000 samples:
  // ASRError invalidAudioData); a stop asked for through `stop` ends it before the next chunk
  // of audio with voxtrellis::WorkStopped.
  virtual voxtrellis::ASRResult transcribe(std::span<const float> samples, const StepProgress& progress = {},
                                           std::stop_token stop = {}) = 0;
};

// The prepared offline diarizer of one configuration. Blocking; any thread; one caller at a
// time.
class SpeakerDiarizer {
 public:
  virtual ~SpeakerDiarizer() = default;
  // Speaker turns of the samples (read in place, not copied), telling `progress` (when given)
  // the share of the analysis windows done. Throws the engine's errors; a stop asked for
  // through `stop` ends it before the next batch of windows or clustering step with
  // voxtrellis::WorkStopped.
  virtual voxtrellis::DiarizationResult process(std::span<const float> samples, const StepProgress& progress = {},
                                                std::stop_token stop = {}) = 0;
};

// Where the speech models come from. Blocking calls meant for worker threads. A stop asked
// for through `stop` ends a model download under way within about a second, throwing
// voxtrellis::DownloadUtils::DownloadStopped; what was fetched is kept for the next start.
class SpeechEngine {
 public:
  virtual ~SpeechEngine() = default;
  // Fetches what is missing of the recogniser's models (version 3), loads them, calls
  // `modelsLoaded` (on this thread) once they are in memory, and returns the initialised
  // recogniser. Throws the engine's download and load errors.
  virtual std::shared_ptr<SpeechRecognizer> loadRecognizer(const std::function<void()>& modelsLoaded,
                                                           std::stop_token stop) = 0;
  // A new diarizer of this configuration with its models prepared (downloaded when missing).
  virtual std::shared_ptr<SpeakerDiarizer> prepareDiarizer(const voxtrellis::OfflineDiarizerConfig& config,
                                                           std::stop_token stop) = 0;
};

// The engine itself: AsrManager and OfflineDiarizerManager. Model folders default to the
// engine's own cache ("Voxtrellis/Models" in the data folder).
class VoxtrellisSpeechEngine final : public SpeechEngine {
 public:
  struct ModelFolders {
    // The recogniser's repository folder (handed to AsrModels::download as is).
    std::optional<std::filesystem::path> recognizer;
    // The folder holding the diarizer's repository folder.
    std::optional<std::filesystem::path> diarizer;
  };
  explicit VoxtrellisSpeechEngine(ModelFolders folders = {});

  std::shared_ptr<SpeechRecognizer> loadRecognizer(const std::function<void()>& modelsLoaded,
                                                   std::stop_token stop) override;
  std::shared_ptr<SpeakerDiarizer> prepareDiarizer(const voxtrellis::OfflineDiarizerConfig& config,
                                                   std::stop_token stop) override;

 private:
  ModelFolders m_folders;
};

}  // namespace parlowvista
