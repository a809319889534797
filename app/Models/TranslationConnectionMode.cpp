#include "Models/TranslationConnectionMode.h"

namespace parlowvista {

QString rawValue(TranslationConnectionMode mode) {
  return mode == TranslationConnectionMode::api ? QStringLiteral("API") : QStringLiteral("CLI");
}

QString caseName(TranslationConnectionMode mode) {
  return mode == TranslationConnectionMode::api ? QStringLiteral("api") : QStringLiteral("cli");
}

std::optional<TranslationConnectionMode> translationConnectionModeFromRawValue(const QString& text) {
  for (auto mode : allTranslationConnectionModes()) {
    if (rawValue(mode) == text) return mode;
  }
  return std::nullopt;
}

const QList<TranslationConnectionMode>& allTranslationConnectionModes() {
  static const QList<TranslationConnectionMode> all{TranslationConnectionMode::api, TranslationConnectionMode::cli};
  return all;
}

}  // namespace parlowvista
