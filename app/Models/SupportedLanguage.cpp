#include "Models/SupportedLanguage.h"

namespace parlowvista {

const QList<SupportedLanguage>& SupportedLanguage::all() {
  static const QList<SupportedLanguage> languages{
      {"en", "English", std::nullopt},
      {"pl", "Polish", QStringLiteral("Polski")},
      {"de", "German", QStringLiteral("Deutsch")},
      {"fr", "French", QStringLiteral("Français")},
      {"es", "Spanish", QStringLiteral("Español")},
      {"it", "Italian", QStringLiteral("Italiano")},
      {"pt", "Portuguese", QStringLiteral("Português")},
      {"nl", "Dutch", QStringLiteral("Nederlands")},
      {"ru", "Russian", QStringLiteral("Русский")},
      {"uk", "Ukrainian", QStringLiteral("Українська")},
      {"zh", "Chinese", QStringLiteral("中文")},
      {"ja", "Japanese", QStringLiteral("日本語")},
      {"ko", "Korean", QStringLiteral("한국어")},
      {"ar", "Arabic", QStringLiteral("العربية")},
      {"hi", "Hindi", QStringLiteral("हिन्दी")},
      {"tr", "Turkish", QStringLiteral("Türkçe")},
      {"vi", "Vietnamese", QStringLiteral("Tiếng Việt")},
      {"th", "Thai", QStringLiteral("ไทย")},
      {"cs", "Czech", QStringLiteral("Čeština")},
      {"sv", "Swedish", QStringLiteral("Svenska")},
      {"da", "Danish", QStringLiteral("Dansk")},
      {"fi", "Finnish", QStringLiteral("Suomi")},
      {"no", "Norwegian", QStringLiteral("Norsk")},
      {"el", "Greek", QStringLiteral("Ελληνικά")},
      {"he", "Hebrew", QStringLiteral("עברית")},
      {"hu", "Hungarian", QStringLiteral("Magyar")},
      {"ro", "Romanian", QStringLiteral("Română")},
      {"sk", "Slovak", QStringLiteral("Slovenčina")},
      {"bg", "Bulgarian", QStringLiteral("Български")},
      {"hr", "Croatian", QStringLiteral("Hrvatski")},
      {"sl", "Slovenian", QStringLiteral("Slovenščina")},
      {"et", "Estonian", QStringLiteral("Eesti")},
      {"lv", "Latvian", QStringLiteral("Latviešu")},
      {"lt", "Lithuanian", QStringLiteral("Lietuvių")},
  };
  return languages;
}

std::optional<SupportedLanguage> SupportedLanguage::find(const QString& code) {
  for (const auto& language : all()) {
    if (language.code == code) return language;
  }
  return std::nullopt;
}

}  // namespace parlowvista
