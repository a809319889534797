#include "Models/DiarizationSettings.h"

#include <algorithm>
#include <limits>

namespace parlowvista {

namespace {

std::optional<int> toInt(std::optional<qint64> value) {
  if (!value) return std::nullopt;
  return static_cast<int>(std::clamp<qint64>(*value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

}  // namespace

voxtrellis::OfflineDiarizerConfig DiarizationSettings::toOfflineConfig() const {
  using Config = voxtrellis::OfflineDiarizerConfig;
  Config::Embedding embedding = Config::Embedding::community();
  embedding.minSegmentDurationSeconds = minSegmentDurationSeconds;
  Config::Clustering clustering;
  clustering.threshold = threshold;
  clustering.warmStartFa = warmStartFa;
  clustering.warmStartFb = warmStartFb;
  clustering.minSpeakers = toInt(minSpeakers);
  clustering.maxSpeakers = toInt(maxSpeakers);
  clustering.numSpeakers = toInt(numSpeakers);
  return Config(Config::Segmentation::community(), embedding, clustering, Config::VBx::community(),
                Config::PostProcessing::community(), Config::Export::none());
}

DiarizationSettings DiarizationSettings::fromPreset(DiarizationPreset preset, double customThreshold,
                                                    std::optional<qint64> numSpeakers,
                                                    std::optional<qint64> minSpeakers,
                                                    std::optional<qint64> maxSpeakers) {
  DiarizationSettings settings;
  switch (preset) {
    case DiarizationPreset::autoDetect:
    case DiarizationPreset::balanced:
      settings.threshold = 0.5;
      settings.warmStartFa = 0.07;
      settings.warmStartFb = 0.8;
      break;
    case DiarizationPreset::moreSpeakers:
      settings.threshold = 0.3;
      settings.warmStartFa = 0.15;
      settings.warmStartFb = 0.6;
      break;
    case DiarizationPreset::fewerSpeakers:
      settings.threshold = 0.7;
      settings.warmStartFa = 0.05;
      settings.warmStartFb = 0.9;
      break;
    case DiarizationPreset::custom:
      settings.threshold = customThreshold;
      settings.warmStartFa = 0.07;
      settings.warmStartFb = 0.8;
      break;
  }
  settings.numSpeakers = numSpeakers;
  settings.minSpeakers = minSpeakers;
  settings.maxSpeakers = maxSpeakers;
  settings.minSegmentDurationSeconds = 1.0;
  return settings;
}

}  // namespace parlowvista
