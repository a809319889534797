#include "Services/Translation/TranslationProviderProtocol.h"

namespace parlowvista {

ProviderOutcome ProviderOutcome::success(QList<TranslatedSegment> segments, qsizetype untranslatedCount) {
  ProviderOutcome outcome;
  outcome.segments = std::move(segments);
  outcome.untranslatedCount = untranslatedCount;
  return outcome;
}

ProviderOutcome ProviderOutcome::failure(TranslationError error) {
  ProviderOutcome outcome;
  outcome.error = std::move(error);
  return outcome;
}

ProviderOutcome ProviderOutcome::platform(QString description, bool cancelled) {
  ProviderOutcome outcome;
  outcome.platformFailure = std::move(description);
  outcome.cancelled = cancelled;
  return outcome;
}

}  // namespace parlowvista
