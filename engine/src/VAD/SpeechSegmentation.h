#pragma once

#include <voxtrellis/VadSegmentation.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace voxtrellis::vad {

// Sample positions at 16 kHz; probability k covers the chunk starting at 4096k.
using SampleRange = std::pair<int64_t, int64_t>;

struct Thresholds {
  float speech = 0;    // at or above: speech
  float negative = 0;  // below, while in speech: silence
};
// Thresholds of one run from the detector's threshold and the configuration.
Thresholds thresholdsFor(float detectorThreshold, const VadSegmentationConfig& config);

// Speech ranges with hysteresis, minimum lengths, splitting of over-long
// speech and padding, clamped to [0, audioLengthSamples] and non-empty.
std::vector<SampleRange> detectSpeechSampleRanges(const std::vector<float>& probabilities, int64_t audioLengthSamples,
                                                  const VadSegmentationConfig& config, const Thresholds& thresholds);

// One step of the streaming state machine for a chunk of `chunkLength`
// samples with probability `probability`; `modelState` is the chunk's new
// recurrent state.
VadStreamResult streamingStateMachine(const VadStreamState& state, float probability, int64_t chunkLength,
                                      VadState modelState, const VadSegmentationConfig& config,
                                      const Thresholds& thresholds, bool returnSeconds, int timeResolution);

}  // namespace voxtrellis::vad
