#pragma once

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/OfflineDiarizerConfig.h>
#include <voxtrellis/TimedSpeakerSegment.h>

#include "Diarizer/Offline/Core/OfflineStageTypes.h"

#include <map>
#include <string>
#include <vector>

namespace voxtrellis {

// Turns soft per-window speaker activity and the per-window cluster grid into
// sorted speaker turns labelled "S1", "S2", ...; merges close turns of one
// speaker, drops short ones and (by default) removes overlapping speech.
// Stateless; never throws.
class OfflineReconstruction {
 public:
  explicit OfflineReconstruction(OfflineDiarizerConfig config);

  std::vector<TimedSpeakerSegment> buildSegments(const SegmentationOutput& segmentation,
                                                 const std::vector<std::vector<int>>& hardClusters,
                                                 const std::vector<std::vector<double>>& centroids) const;

  // Label → mean of its segments' embeddings.
  static std::map<std::string, std::vector<float>> buildSpeakerDatabase(
      const std::vector<TimedSpeakerSegment>& segments);

  static std::vector<TimedSpeakerSegment> mergeSegments(std::vector<TimedSpeakerSegment> segments, double gapThreshold);
  std::vector<TimedSpeakerSegment> sanitize(std::vector<TimedSpeakerSegment> segments) const;
  std::vector<TimedSpeakerSegment> excludeOverlaps(const std::vector<TimedSpeakerSegment>& segments) const;

 private:
  OfflineDiarizerConfig m_config;
  AppLogger m_logger;
};

}  // namespace voxtrellis
