#include "Models/AudioEnhancementSettings.h"

#include <QStringList>

namespace parlowvista {

QString AudioEnhancementSettings::description() const {
  if (!enabled) return "Off";
  QStringList parts;
  if (normalizeVolume) parts << "Normalize";
  if (dynamicCompression) parts << "Compress";
  if (noiseReduction) parts << "Denoise";
  return parts.isEmpty() ? QString("On") : parts.join(", ");
}

QJsonObject AudioEnhancementSettings::toJson() const {
  return QJsonObject{{"enabled", enabled},
                     {"normalizeVolume", normalizeVolume},
                     {"dynamicCompression", dynamicCompression},
                     {"compressionStrength", compressionStrength},
                     {"noiseReduction", noiseReduction},
                     {"noiseReductionStrength", noiseReductionStrength}};
}

std::optional<AudioEnhancementSettings> AudioEnhancementSettings::fromJson(const QJsonObject& object) {
  for (const char* key : {"enabled", "normalizeVolume", "dynamicCompression", "noiseReduction"}) {
    if (!object.value(key).isBool()) return std::nullopt;
  }
  for (const char* key : {"compressionStrength", "noiseReductionStrength"}) {
    if (!object.value(key).isDouble()) return std::nullopt;
  }
  AudioEnhancementSettings settings;
  settings.enabled = object.value("enabled").toBool();
  settings.normalizeVolume = object.value("normalizeVolume").toBool();
  settings.dynamicCompression = object.value("dynamicCompression").toBool();
  settings.compressionStrength = object.value("compressionStrength").toDouble();
  settings.noiseReduction = object.value("noiseReduction").toBool();
  settings.noiseReductionStrength = object.value("noiseReductionStrength").toDouble();
  return settings;
}

}  // namespace parlowvista
