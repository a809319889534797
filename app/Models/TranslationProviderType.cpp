#include "Models/TranslationProviderType.h"

namespace parlowvista {

QString rawValue(TranslationProviderType type) {
  switch (type) {
    case TranslationProviderType::claude: return QStringLiteral("Claude (Anthropic)");
    case TranslationProviderType::gemini: return QStringLiteral("Gemini (Google)");
    case TranslationProviderType::openai: return QStringLiteral("OpenAI (GPT)");
  }
  return {};
}

std::optional<TranslationProviderType> translationProviderTypeFromRawValue(const QString& text) {
  for (auto type : allTranslationProviderTypes()) {
    if (rawValue(type) == text) return type;
  }
  return std::nullopt;
}

const QList<TranslationProviderType>& allTranslationProviderTypes() {
  static const QList<TranslationProviderType> all{TranslationProviderType::claude, TranslationProviderType::gemini,
                                                  TranslationProviderType::openai};
  return all;
}

const QStringList& availableModels(TranslationProviderType type) {
  static const QStringList claude{"claude-3-haiku-20240307", "claude-3-5-haiku-20241022", "claude-3-5-sonnet-20241022",
                                  "claude-sonnet-4-20250514"};
  static const QStringList gemini{"gemini-1.5-flash", "gemini-1.5-pro", "gemini-2.0-flash-exp"};
  static const QStringList openai{"gpt-4o-mini", "gpt-4o", "gpt-4-turbo"};
  switch (type) {
    case TranslationProviderType::claude: return claude;
    case TranslationProviderType::gemini: return gemini;
    case TranslationProviderType::openai: return openai;
  }
  return claude;
}

QString defaultModel(TranslationProviderType type) {
  return availableModels(type).first();
}

}  // namespace parlowvista
