#pragma once

#include "Diarizer/Segmentation/PyannoteSegmentationModel.h"
#include "Shared/ANEMemoryOptimizer.h"
#include "Shared/AppLogger.h"

#include <span>
#include <vector>

namespace voxtrellis {

// Runs the segmentation model on one 10 s window and turns its powerset
// scores into a binary activity per speaker slot and frame. One processor per
// owner, used by one thread at a time (its input array is pooled).
class SegmentationProcessor {
 public:
  static constexpr int kSlots = 3;
  static constexpr int kClasses = 7;

  SegmentationProcessor();

  // batch × frames × 3 values of 0 or 1: slot s sounds in the frame's winning
  // class (the lowest class index wins a tie). The first `chunkSize` samples
  // of `audioChunk` are used, zero-padded. Throws DiarizerError
  // (memoryAllocationFailed; processingFailed for a missing, empty or short
  // "segments" output) and the model's ModelRuntimeError.
  std::vector<std::vector<std::vector<float>>> getSegments(std::span<const float> audioChunk,
                                                           const PyannoteSegmentationModel& segmentationModel,
                                                           int chunkSize);

  // Powerset class → slots active in it.
  static const std::vector<int>& slotsOfClass(int classIndex);

 private:
  AppLogger m_logger;
  ANEMemoryOptimizer m_memoryOptimizer;
};

}  // namespace voxtrellis
