#pragma once

#include "Models/DiarizationPreset.h"
#include "Models/DiarizationSettings.h"

#include <QtGlobal>

#include <optional>

namespace parlowvista {

// The speaker-detection choices a diarizer is built from, as a version records them.
struct DiarizerChoice {
  DiarizationPreset preset = DiarizationPreset::balanced;
  double customThreshold = 0.5;
  std::optional<qint64> minSpeakers;
  DiarizationSettings settings;
};

}  // namespace parlowvista
