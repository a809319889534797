#pragma once

#include "Models/TranslationConnectionMode.h"
#include "Services/Translation/TranslationProviderProtocol.h"

#include <memory>

namespace parlowvista {

class TranslationSettings;
struct ProviderEndpoints;

// Makes a fresh provider for every request; nothing is cached.
class TranslationProviderFactory {
 public:
  static std::unique_ptr<TranslationProviderProtocol> createProvider(TranslationProviderType type,
                                                                     TranslationConnectionMode mode,
                                                                     TranslationSettings& settings,
                                                                     const ProviderEndpoints& endpoints);
};

}  // namespace parlowvista
