#include "Services/Translation/ProviderEndpoints.h"

#include "Models/TranslationProviderType.h"

namespace parlowvista {

QUrl ProviderEndpoints::baseUrl(TranslationProviderType type) const {
  switch (type) {
    case TranslationProviderType::claude: return claudeBaseUrl;
    case TranslationProviderType::gemini: return geminiBaseUrl;
    case TranslationProviderType::openai: return openAIBaseUrl;
  }
  return claudeBaseUrl;
}

}  // namespace parlowvista
