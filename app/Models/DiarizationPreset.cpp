#include "Models/DiarizationPreset.h"

#include <QHash>

namespace parlowvista {

QString rawValue(DiarizationPreset preset) {
  switch (preset) {
    case DiarizationPreset::autoDetect: return QStringLiteral("Auto");
    case DiarizationPreset::moreSpeakers: return QStringLiteral("More Speakers");
    case DiarizationPreset::balanced: return QStringLiteral("Balanced");
    case DiarizationPreset::fewerSpeakers: return QStringLiteral("Fewer Speakers");
    case DiarizationPreset::custom: return QStringLiteral("Custom");
  }
  return {};
}

std::optional<DiarizationPreset> diarizationPresetFromRawValue(const QString& text) {
  for (auto preset : allDiarizationPresets()) {
    if (rawValue(preset) == text) return preset;
  }
  return std::nullopt;
}

const QList<DiarizationPreset>& allDiarizationPresets() {
  static const QList<DiarizationPreset> all{DiarizationPreset::autoDetect, DiarizationPreset::moreSpeakers,
                                            DiarizationPreset::balanced, DiarizationPreset::fewerSpeakers,
                                            DiarizationPreset::custom};
  return all;
}

size_t qHash(DiarizationPreset preset, size_t seed) {
  return qHash(rawValue(preset), seed);
}

}  // namespace parlowvista
