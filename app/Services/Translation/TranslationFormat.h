#pragma once

#include "Models/TranscribedSegment.h"
#include "Models/TranslatedSegment.h"

#include <QList>
#include <QString>

#include <optional>

namespace parlowvista {

// The text exchange every provider has with its model: one batch of segments
// becomes one prompt, and the model's reply becomes translated segments.

// The prompt for one batch. Language codes are shown by their English names
// when known, else as given. Never fails.
QString buildTranslationPrompt(const QList<TranscribedSegment>& segments, const QString& targetLanguage,
                               const std::optional<QString>& sourceLanguage);

// Reads the JSON array out of a model's reply (from the first "[" to the last
// "]"), matches its elements back to the batch by segment id and returns one
// TranslatedSegment per matched element, in reply order. Ids are matched by
// UUID value, so a model that changes their letter case still matches; when a
// batch lists one id twice, its first segment wins, and when the reply answers
// one id twice, its first answer wins.
//
// Throws TranslationError::invalidResponse when the reply has no well-formed
// array, when the array is not made of objects only, or when a non-empty batch
// gets no element matched at all. Elements without a string "id" and "text",
// or with an unknown id, are dropped.
QList<TranslatedSegment> parseTranslationJSON(const QString& text, const QList<TranscribedSegment>& originalSegments,
                                              const QString& targetLanguage);

// One batch's translation with nothing left out.
struct BatchTranslation {
  QList<TranslatedSegment> segments;  // one per distinct segment id, in batch order
  qsizetype untranslated = 0;         // segments the reply had no answer for
};

// Puts the reply's answers in batch order and gives every segment the reply
// left out a translation holding its original text, counted in `untranslated`,
// so that no segment goes missing from a translation.
BatchTranslation completeBatchTranslation(const QList<TranslatedSegment>& answers,
                                          const QList<TranscribedSegment>& batch, const QString& targetLanguage);

// "Translation complete", saying how many of `total` segments kept their
// original text when any did.
QString translationCompleteMessage(qsizetype untranslated, qsizetype total);

// The English name of a language code, or the code itself when unknown.
QString languageDisplayName(const QString& code);

}  // namespace parlowvista
