#pragma once

#include <QString>
#include <QUuid>
#include <nlohmann/json_fwd.hpp>

namespace parlowvista {

// One translated segment, made by a provider.
struct TranslatedSegment {
  QUuid id;                 // identity of this translated segment
  QUuid originalSegmentId;  // id of the TranscribedSegment it translates
  QString translatedText;
  QString targetLanguage;  // a SupportedLanguage code

  bool operator==(const TranslatedSegment& other) const = default;
};

// JSON form: an object with the four field names as keys, all required, the UUIDs in their
// canonical upper-case text. Reading throws nlohmann::json::exception for a missing key or a
// wrong type, and std::invalid_argument for a text that is not a UUID.
void to_json(nlohmann::json& json, const TranslatedSegment& segment);
void from_json(const nlohmann::json& json, TranslatedSegment& segment);

}  // namespace parlowvista
