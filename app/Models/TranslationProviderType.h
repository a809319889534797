#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace parlowvista {

// The translation providers. Each value's raw text is its display name and its identity:
// it names the provider in settings and forms the keychain account "apiKey." + raw text.
enum class TranslationProviderType { claude, gemini, openai };

// "Claude (Anthropic)", "Gemini (Google)", "OpenAI (GPT)".
QString rawValue(TranslationProviderType type);
inline QString displayName(TranslationProviderType type) {
  return rawValue(type);
}

// Exact comparison with the raw texts; any other text gives nothing.
std::optional<TranslationProviderType> translationProviderTypeFromRawValue(const QString& text);

// All providers in declaration order.
const QList<TranslationProviderType>& allTranslationProviderTypes();

// Model names the provider offers; the first is its default.
const QStringList& availableModels(TranslationProviderType type);
QString defaultModel(TranslationProviderType type);

}  // namespace parlowvista
