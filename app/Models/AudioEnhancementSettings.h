#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace parlowvista {

// What the audio enhancer does to a recording's samples once they are loaded (and to the
// excerpts of its preview). A plain value kept in memory by the view model. Strengths are
// fractions from 0 to 1.
struct AudioEnhancementSettings {
  bool enabled = false;
  bool normalizeVolume = true;
  bool dynamicCompression = true;
  double compressionStrength = 0.5;
  bool noiseReduction = false;
  double noiseReductionStrength = 0.3;

  // "Off" when disabled; else "Normalize", "Compress", "Denoise" (those switched on, joined
  // by ", "), or "On" when none is.
  QString description() const;

  // The six fields under their own names, in field order.
  QJsonObject toJson() const;
  // All six keys are required, with the right types; nothing otherwise.
  static std::optional<AudioEnhancementSettings> fromJson(const QJsonObject& object);

  bool operator==(const AudioEnhancementSettings&) const = default;
};

}  // namespace parlowvista
