#pragma once

#include <QList>
#include <QString>

namespace parlowvista {

// Positions (UTF-16 offsets) of the user-perceived character boundaries of a text, from 0
// to text.size() inclusive; a text of n characters has n + 1 boundaries.
QList<qsizetype> graphemeBoundaries(const QString& text);

// Number of user-perceived characters (extended grapheme clusters).
qsizetype graphemeCount(const QString& text);

// Number of whole characters that lie before a UTF-16 offset; an offset inside a character
// counts that character as not yet reached, and offsets outside the text are clamped.
qsizetype graphemeIndexForUtf16Offset(const QString& text, qsizetype utf16Offset);

// Removes space separators and tabs from both ends; line breaks stay.
QString trimmingHorizontalWhitespace(const QString& text);

}  // namespace parlowvista
