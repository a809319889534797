#pragma once

#include "Models/TranscribedSegment.h"
#include "Services/Translation/TranslatedSegment.h"

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
// batch lists one id twice, its first segment wins.
//
// Throws TranslationError::invalidResponse when the reply has no well-formed
// array, when the array is not made of objects only, or when a non-empty batch
// gets no element matched at all. Elements without a string "id" and "text",
// or with an unknown id, are dropped.
QList<TranslatedSegment> parseTranslationJSON(const QString& text, const QList<TranscribedSegment>& originalSegments,
                                              const QString& targetLanguage);

// The English name of a language code, or the code itself when unknown.
QString languageDisplayName(const QString& code);

}  // namespace parlowvista
