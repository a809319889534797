#pragma once

#include "Models/DiarizationPreset.h"

#include <voxtrellis/OfflineDiarizerConfig.h>

#include <QtGlobal>

#include <optional>

namespace parlowvista {

// How eagerly speakers are told apart, as the offline diarizer understands it. A plain value.
struct DiarizationSettings {
  double threshold = 0.5;  // clustering threshold
  std::optional<qint64> numSpeakers;
  std::optional<qint64> minSpeakers;
  std::optional<qint64> maxSpeakers;
  double warmStartFa = 0.07;
  double warmStartFb = 0.8;
  double minSegmentDurationSeconds = 1.0;  // shortest speech used for a speaker embedding

  // The engine's community segmentation, embedding, VBx and post-processing settings with
  // this value's embedding duration and clustering group overlaid, and no embedding export.
  voxtrellis::OfflineDiarizerConfig toOfflineConfig() const;

  // The preset's row (threshold, Fa, Fb; Custom takes `customThreshold`), the three speaker
  // counts as given whatever the preset, and a 1.0 s embedding minimum.
  static DiarizationSettings fromPreset(DiarizationPreset preset, double customThreshold,
                                        std::optional<qint64> numSpeakers, std::optional<qint64> minSpeakers,
                                        std::optional<qint64> maxSpeakers);

  bool operator==(const DiarizationSettings&) const = default;
};

}  // namespace parlowvista
