#pragma once

#include <string>
#include <vector>

namespace voxtrellis {

// One speaker turn on the audio's time line (seconds from the start).
struct TimedSpeakerSegment {
  // A fresh random identifier (upper-case UUID text) drawn by the constructor.
  std::string id;
  // The speaker's label ("S1", "S2", ... from the offline diarizer).
  std::string speakerId;
  // The speaker's voice vector attached to this turn; may be empty.
  std::vector<float> embedding;
  float startTimeSeconds = 0;
  float endTimeSeconds = 0;
  // Confidence-like score set by the producer, 0...1.
  float qualityScore = 0;

  TimedSpeakerSegment(std::string speakerId, std::vector<float> embedding, float startTimeSeconds, float endTimeSeconds,
                      float qualityScore);

  // End minus start; not clamped, so a reversed segment gives a negative value.
  float durationSeconds() const { return endTimeSeconds - startTimeSeconds; }
};

}  // namespace voxtrellis
