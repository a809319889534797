#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace parlowvista {

// The speaker-detection presets the user chooses between. The text is the stored form (in
// settings and in each Transcription) and the value's identity.
enum class DiarizationPreset { autoDetect, moreSpeakers, balanced, fewerSpeakers, custom };

// "Auto", "More Speakers", "Balanced", "Fewer Speakers", "Custom".
QString rawValue(DiarizationPreset preset);
// Exact comparison (case and spaces matter); any other text gives nothing.
std::optional<DiarizationPreset> diarizationPresetFromRawValue(const QString& text);
const QList<DiarizationPreset>& allDiarizationPresets();
size_t qHash(DiarizationPreset preset, size_t seed = 0);

}  // namespace parlowvista
