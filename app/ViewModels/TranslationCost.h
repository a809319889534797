#pragma once

#include "Models/TranslationResult.h"

#include <QString>

namespace parlowvista {

// Dollars per 1000 input and output tokens of a provider's price list.
struct TokenPrices {
  double input = 0;
  double output = 0;
};
TokenPrices tokenPrices(TranslationProviderType provider);

// " (≈$%.4f)" of what the reported tokens cost; empty when either count is missing.
QString translationCostNote(const TranslationResult& result);

}  // namespace parlowvista
