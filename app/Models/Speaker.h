#pragma once

#include <QColor>
#include <QList>
#include <QString>
#include <optional>

namespace parlowvista {

// A speaker's user-facing overrides in one transcript; a plain value identified by speakerId.
struct Speaker {
  qint64 speakerId = 0;               // the number the segments carry
  std::optional<QString> customName;  // absent until the user names the speaker
  std::optional<QString> colorHex;    // absent means the default colour

  Speaker() = default;
  explicit Speaker(qint64 speakerId, std::optional<QString> customName = std::nullopt,
                   std::optional<QString> colorHex = std::nullopt);

  bool operator==(const Speaker& other) const = default;

  // The colour `colorHex` spells (see colorFromHex), else defaultColors()[speakerId mod 8].
  QColor color() const;

  // Blue, green, orange, purple, pink, cyan, yellow, red.
  static const QList<QColor>& defaultColors();

  // The label exporters print: the custom name of the first speaker in `speakers` with this
  // id when it has one (an empty name is used as it is), else "Speaker " + (speakerId + 1).
  static QString displayLabel(qint64 speakerId, const QList<Speaker>& speakers);
};

// Colour from hexadecimal text: characters other than letters, marks and digits are trimmed
// from both ends; then 3 characters read as RGB (each digit x 17), 6 as RRGGBB and 8 as
// AARRGGBB. Parsing stops at the first non-hexadecimal character (nothing parsed gives 0).
// Any other length gives opaque black.
QColor colorFromHex(const QString& hex);

}  // namespace parlowvista
