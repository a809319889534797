#include "Models/TranslatedSegment.h"

#include "Models/UuidText.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace parlowvista {

namespace {

std::string utf8(const QString& text) {
  return text.toStdString();
}

QString qtext(const nlohmann::json& json, const char* key) {
  return QString::fromStdString(json.at(key).get<std::string>());
}

QUuid quuid(const nlohmann::json& json, const char* key) {
  const QUuid id = uuidFromText(qtext(json, key));
  if (id.isNull()) throw std::invalid_argument(std::string("not a UUID under key ") + key);
  return id;
}

}  // namespace

void to_json(nlohmann::json& json, const TranslatedSegment& segment) {
  json = nlohmann::json{{"id", utf8(uuidText(segment.id))},
                        {"originalSegmentId", utf8(uuidText(segment.originalSegmentId))},
                        {"translatedText", utf8(segment.translatedText)},
                        {"targetLanguage", utf8(segment.targetLanguage)}};
}

void from_json(const nlohmann::json& json, TranslatedSegment& segment) {
  segment.id = quuid(json, "id");
  segment.originalSegmentId = quuid(json, "originalSegmentId");
  segment.translatedText = qtext(json, "translatedText");
  segment.targetLanguage = qtext(json, "targetLanguage");
}

}  // namespace parlowvista
