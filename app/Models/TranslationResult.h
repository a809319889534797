#pragma once

#include "Models/TranslatedSegment.h"
#include "Models/TranslationProviderType.h"

#include <QList>
#include <QString>
#include <optional>

namespace parlowvista {

// The outcome of one translation run.
struct TranslationResult {
  QList<TranslatedSegment> segments;  // in the order of the source segments
  // How many of `segments` the provider left unanswered; they hold their original text.
  qsizetype untranslatedCount = 0;
  QString targetLanguage;                 // language code
  std::optional<QString> sourceLanguage;  // when the caller gave one
  TranslationProviderType provider = TranslationProviderType::claude;
  QString model;
  double processingTime = 0;          // seconds of wall time
  std::optional<qint64> inputTokens;  // when the provider reported them
  std::optional<qint64> outputTokens;

  bool operator==(const TranslationResult& other) const = default;
};

}  // namespace parlowvista
