#include "Services/Translation/TranslationFormat.h"

#include "Models/SupportedLanguage.h"
#include "Models/UuidText.h"
#include "Services/Translation/TranslationError.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

namespace parlowvista {

namespace {

const QString kNoArray = QStringLiteral("No JSON array found in response");
const QString kBadArray = QStringLiteral("Failed to parse JSON array");
const QString kNoMatch = QStringLiteral("No translated segment matched the request");

// Only the five characters a model is most likely to trip over are escaped;
// everything else is copied as is. The backslash goes first so the escapes
// added afterwards are not doubled.
QString escapeSegmentText(QString text) {
  text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
  text.replace(QLatin1Char('"'), QStringLiteral("\\\""));
  text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
  text.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
  text.replace(QLatin1Char('\t'), QStringLiteral("\\t"));
  return text;
}

bool isCanonicalUuidText(const QString& text) {
  static const QRegularExpression shape(
      QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
  return shape.match(text).hasMatch();
}

}  // namespace

QString languageDisplayName(const QString& code) {
  if (const auto language = SupportedLanguage::find(code)) return language->name;
  return code;
}

QString buildTranslationPrompt(const QList<TranscribedSegment>& segments, const QString& targetLanguage,
                               const std::optional<QString>& sourceLanguage) {
  const QString sourceClause =
      sourceLanguage ? QStringLiteral(" from ") + languageDisplayName(*sourceLanguage) : QString();

  QStringList lines;
  lines.reserve(segments.size());
  for (const TranscribedSegment& segment : segments) {
    lines << QStringLiteral("{\"id\": \"%1\", \"text\": \"%2\"}")
                 .arg(uuidText(segment.id), escapeSegmentText(segment.text));
  }

  QString prompt;
  prompt += QStringLiteral("Translate the following transcript segments") + sourceClause + QStringLiteral(" to ") +
            languageDisplayName(targetLanguage) + QStringLiteral(".\n");
  prompt += QStringLiteral("\n");
  prompt += QStringLiteral("IMPORTANT RULES:\n");
  prompt += QStringLiteral("1. Return ONLY a valid JSON array - no markdown, no explanation\n");
  prompt += QStringLiteral("2. Preserve the \"id\" field exactly as provided\n");
  prompt += QStringLiteral("3. Only translate the \"text\" field content\n");
  prompt += QStringLiteral("4. Keep proper nouns, names, and technical terms as appropriate\n");
  prompt += QStringLiteral("5. Maintain the original tone and style\n");
  prompt += QStringLiteral("\n");
  prompt += QStringLiteral("Input:\n");
  prompt += QStringLiteral("[") + lines.join(QStringLiteral(",\n")) + QStringLiteral("]\n");
  prompt += QStringLiteral("\n");
  prompt += QStringLiteral("Output (JSON array only):");
  return prompt;
}

QList<TranslatedSegment> parseTranslationJSON(const QString& text, const QList<TranscribedSegment>& originalSegments,
                                              const QString& targetLanguage) {
  const qsizetype first = text.indexOf(QLatin1Char('['));
  const qsizetype last = text.lastIndexOf(QLatin1Char(']'));
  // A closing bracket that stands before the first opening one leaves no span.
  if (first < 0 || last < 0 || last < first) throw TranslationError::invalidResponse(kNoArray);

  QJsonParseError parseError{};
  const QJsonDocument document = QJsonDocument::fromJson(text.mid(first, last - first + 1).toUtf8(), &parseError);
  if (parseError.error != QJsonParseError::NoError || !document.isArray())
    throw TranslationError::invalidResponse(kBadArray);
  const QJsonArray elements = document.array();
  for (const QJsonValue& element : elements) {
    if (!element.isObject()) throw TranslationError::invalidResponse(kBadArray);
  }

  // Keyed by UUID value, so the letter case a model writes ids in does not
  // matter; a batch naming one id twice keeps the first segment.
  QHash<QUuid, qsizetype> segmentIndex;
  for (qsizetype i = 0; i < originalSegments.size(); ++i) {
    if (!segmentIndex.contains(originalSegments[i].id)) segmentIndex.insert(originalSegments[i].id, i);
  }

  QList<TranslatedSegment> results;
  // A model that answers one id twice gets its first answer kept: a segment has one translation.
  QSet<QUuid> answered;
  for (const QJsonValue& element : elements) {
    const QJsonObject object = element.toObject();
    const QJsonValue id = object.value(QStringLiteral("id"));
    const QJsonValue translated = object.value(QStringLiteral("text"));
    if (!id.isString() || !translated.isString()) continue;
    const QString idText = id.toString();
    if (!isCanonicalUuidText(idText)) continue;
    const QUuid uuid = uuidFromText(idText);
    if (uuid.isNull() || !segmentIndex.contains(uuid) || answered.contains(uuid)) continue;
    answered.insert(uuid);
    results.append(TranslatedSegment{newUuid(), uuid, translated.toString(), targetLanguage});
  }

  if (!originalSegments.isEmpty() && results.isEmpty()) throw TranslationError::invalidResponse(kNoMatch);
  return results;
}

BatchTranslation completeBatchTranslation(const QList<TranslatedSegment>& answers,
                                          const QList<TranscribedSegment>& batch, const QString& targetLanguage) {
  QHash<QUuid, qsizetype> answerIndex;
  for (qsizetype i = 0; i < answers.size(); ++i) {
    if (!answerIndex.contains(answers[i].originalSegmentId)) answerIndex.insert(answers[i].originalSegmentId, i);
  }
  BatchTranslation out;
  QSet<QUuid> done;
  for (const TranscribedSegment& segment : batch) {
    if (done.contains(segment.id)) continue;
    done.insert(segment.id);
    if (const auto it = answerIndex.constFind(segment.id); it != answerIndex.constEnd()) {
      out.segments.append(answers[*it]);
    } else {
      out.segments.append(TranslatedSegment{newUuid(), segment.id, segment.text, targetLanguage});
      ++out.untranslated;
    }
  }
  return out;
}

QString translationCompleteMessage(qsizetype untranslated, qsizetype total) {
  if (untranslated == 0) return QStringLiteral("Translation complete");
  return QStringLiteral("Translation complete (%1 of %2 segments not translated, original text kept)")
      .arg(untranslated)
      .arg(total);
}

}  // namespace parlowvista
