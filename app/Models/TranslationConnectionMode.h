#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace parlowvista {

// How a provider is reached: over its HTTPS API or by driving its command-line tool.
enum class TranslationConnectionMode { api, cli };

// "API" or "CLI": the stored form and the text shown in the settings.
QString rawValue(TranslationConnectionMode mode);

// "api" or "cli": what a log line prints for a mode.
QString caseName(TranslationConnectionMode mode);

// Exact comparison with the raw texts; any other text gives nothing.
std::optional<TranslationConnectionMode> translationConnectionModeFromRawValue(const QString& text);

const QList<TranslationConnectionMode>& allTranslationConnectionModes();

}  // namespace parlowvista
