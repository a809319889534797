#include "Services/Translation/TranslationProviderFactory.h"

#include "Services/Translation/Providers/ClaudeProvider.h"
#include "Services/Translation/Providers/GeminiProvider.h"
#include "Services/Translation/Providers/OpenAIProvider.h"

namespace parlowvista {

std::unique_ptr<TranslationProviderProtocol> TranslationProviderFactory::createProvider(
    TranslationProviderType type, TranslationConnectionMode mode, TranslationSettings& settings,
    const ProviderEndpoints& endpoints) {
  switch (type) {
    case TranslationProviderType::claude: return std::make_unique<ClaudeProvider>(settings, endpoints, mode);
    case TranslationProviderType::gemini: return std::make_unique<GeminiProvider>(settings, endpoints, mode);
    case TranslationProviderType::openai: return std::make_unique<OpenAIProvider>(settings, endpoints, mode);
  }
  return std::make_unique<ClaudeProvider>(settings, endpoints, mode);
}

}  // namespace parlowvista
