#include "ViewModels/TranslationCost.h"

namespace parlowvista {

TokenPrices tokenPrices(TranslationProviderType provider) {
  switch (provider) {
    case TranslationProviderType::claude: return {0.00025, 0.00125};
    case TranslationProviderType::gemini: return {0.000075, 0.0003};
    case TranslationProviderType::openai: return {0.00015, 0.0006};
  }
  return {};
}

QString translationCostNote(const TranslationResult& result) {
  if (!result.inputTokens || !result.outputTokens) return {};
  const TokenPrices prices = tokenPrices(result.provider);
  const double cost = static_cast<double>(*result.inputTokens) / 1000.0 * prices.input +
                      static_cast<double>(*result.outputTokens) / 1000.0 * prices.output;
  return QString::fromUtf8(" (≈$") + QString::asprintf("%.4f", cost) + ")";
}

}  // namespace parlowvista
