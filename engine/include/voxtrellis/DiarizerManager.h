#pragma once

#include <voxtrellis/DiarizationResult.h>
#include <voxtrellis/DiarizerConfig.h>
#include <voxtrellis/DiarizerModels.h>
#include <voxtrellis/Speaker.h>
#include <voxtrellis/SpeakerManager.h>

#include <memory>
#include <span>
#include <vector>

namespace voxtrellis {

// Diarizes 16 kHz mono audio chunk by chunk (10 s windows by default): per
// chunk, the segmentation model says which of three speaker slots speaks in
// which 16.875 ms frame, the embedding model gives one voice vector per slot,
// and each slot is matched against a speaker database that lives as long as
// the diarizer, so a voice keeps its speaker id ("1", "2", ...) from chunk to
// chunk and from call to call.
//
// Lifecycle: made → initialize(models) → available; cleanup() drops the
// models again. The speaker database persists through all of these.
//
// Thread safety: one caller at a time (no lock of its own); the speaker
// database guards itself and may be used from other threads meanwhile.
class DiarizerManager {
 public:
  // The database gets speaker threshold = clusteringThreshold × 1.2 and
  // embedding threshold = clusteringThreshold × 0.8.
  explicit DiarizerManager(DiarizerConfig config = DiarizerConfig::defaultConfig());
  ~DiarizerManager();
  DiarizerManager(const DiarizerManager&) = delete;
  DiarizerManager& operator=(const DiarizerManager&) = delete;

  const DiarizerConfig& config() const;
  bool isAvailable() const;
  void initialize(DiarizerModels models);
  void cleanup();

  bool validateEmbedding(const std::vector<float>& embedding) const;
  AudioValidationResult validateAudio(std::span<const float> samples) const;

  // Adds known speakers without replacing speakers already present (mode
  // skip, permanent speakers preserved).
  void initializeKnownSpeakers(const std::vector<SpeakerPtr>& speakers);
  SpeakerManager& speakerManager();
  const SpeakerManager& speakerManager() const;
  std::shared_ptr<PyannoteSegmentationModel> segmentationModel() const;

  // Timed speaker segments of `samples`, whose first sample lies at `atTime`
  // seconds; each chunk's segments sorted by start, chunks in order. With
  // debugMode the result also carries the speaker database (id → main
  // embedding) and the stage timings. Throws DiarizerError::notInitialized
  // before initialize(), DiarizerError::processingFailed for a sample rate
  // other than 16000, a chunk (whole seconds of chunkDuration) outside 1 to
  // 10 s, the models' window, or a step (chunk minus whole seconds of
  // chunkOverlap) that is not positive, and for unusable model output, and
  // the models' errors. On an error no segments are returned, but speakers
  // already added to the database stay.
  DiarizationResult performCompleteDiarization(std::span<const float> samples, int sampleRate = 16000,
                                               double atTime = 0);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace voxtrellis
