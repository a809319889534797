#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace parlowvista {

// A language the system translates into.
struct SupportedLanguage {
  QString code;                       // two-letter ISO 639-1 code; the identity
  QString name;                       // English name
  std::optional<QString> nativeName;  // the name in the language itself (English has none)

  bool operator==(const SupportedLanguage& other) const = default;

  // The 34 languages in display order.
  static const QList<SupportedLanguage>& all();

  // The first entry whose code equals `code` exactly (case-sensitive).
  static std::optional<SupportedLanguage> find(const QString& code);
};

}  // namespace parlowvista
