#pragma once

#include <voxtrellis/PipelineTimings.h>
#include <voxtrellis/TimedSpeakerSegment.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace voxtrellis {

// What every diarizer of the engine returns. A plain value.
struct DiarizationResult {
  // Speaker turns in the order the producer emits them (the offline
  // diarizer sorts them by start time).
  std::vector<TimedSpeakerSegment> segments;
  // One representative voice vector per speaker label.
  std::optional<std::map<std::string, std::vector<float>>> speakerDatabase;
  std::optional<PipelineTimings> timings;

  DiarizationResult() = default;
  DiarizationResult(std::vector<TimedSpeakerSegment> segments,
                    std::optional<std::map<std::string, std::vector<float>>> speakerDatabase,
                    std::optional<PipelineTimings> timings)
      : segments(std::move(segments)), speakerDatabase(std::move(speakerDatabase)), timings(std::move(timings)) {}
};

}  // namespace voxtrellis
