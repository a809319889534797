#pragma once

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/OfflineDiarizerConfig.h>

#include "Diarizer/Offline/Core/OfflineStageTypes.h"
#include "Diarizer/Offline/Core/PipelineSupport.h"
#include "Diarizer/Offline/Segmentation/OfflineSegmentationModel.h"
#include "Shared/ANEMemoryOptimizer.h"

#include <array>
#include <functional>
#include <memory>
#include <vector>

namespace voxtrellis {

// Slides the analysis window over the recording, runs the segmentation model
// (windows [windows, 1, samples] → scores [windows, frames, classes]) in
// batches of up to 32 windows and decodes every frame's
// powerset classes into log-probabilities and the soft activity of three
// local speakers. One processor per run, used by one thread.
class OfflineSegmentationProcessor {
 public:
  using ChunkHandler = std::function<SegmentationChunkContinuation(const SegmentationChunk&)>;
  static constexpr int kLocalSpeakers = 3;
  static constexpr int kMaxBatch = 32;

  OfflineSegmentationProcessor();

  // Calls `chunkHandler` once per decoded window, in order, until it answers
  // stop; returns every window. Throws OfflineDiarizationError
  // (noSpeechDetected for an empty source, processingFailed), model and
  // source errors unchanged, and DiarizationCancelled.
  SegmentationOutput process(const SampleReader& audio, const OfflineSegmentationModel& segmentationModel,
                             const OfflineDiarizerConfig& config, const ChunkHandler& chunkHandler = {},
                             const CancellationFlag* cancellation = nullptr);

  // Class index → local speakers active in it.
  static const std::array<std::vector<int>, 8>& powerset();

 private:
  AppLogger m_logger;
  std::shared_ptr<ANEMemoryOptimizer> m_memoryOptimizer;
};

// Writes "[Profiling] " + message + line feed to standard error.
void emitProfileLog(const std::string& message);

}  // namespace voxtrellis
