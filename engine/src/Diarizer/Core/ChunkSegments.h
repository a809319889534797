#pragma once

#include <voxtrellis/DiarizerConfig.h>
#include <voxtrellis/TimedSpeakerSegment.h>

#include <string>
#include <vector>

namespace voxtrellis {

// Frame geometry of the segmentation model.
inline constexpr double kFrameStepSeconds = 0.016875;  // 270 samples at 16 kHz

// What one chunk's slots came to, for building its timed segments.
struct ChunkSlots {
  std::vector<std::vector<float>> frames;      // frames × 3 binarized activity (batch 0)
  std::vector<float> activities;               // per slot: sum of its frame values
  std::vector<std::vector<float>> embeddings;  // per slot: 256 values (zeros when silent)
  std::vector<std::string> labels;             // per slot: database speaker id, "" for none
};

// Turns each labelled slot's runs of active frames into timed segments of at
// least `minSpeechDuration` seconds, shifted by `offsetSeconds`, sorted by
// start (stable). A frame counts as active above 0.3, or above 0.15 while
// another slot is above 0.3. qualityScore lies in [0, 1].
std::vector<TimedSpeakerSegment> createTimedSegments(const ChunkSlots& slots, double offsetSeconds,
                                                     const DiarizerConfig& config);

}  // namespace voxtrellis
