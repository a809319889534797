#include "Models/TextGraphemes.h"

#include <QTextBoundaryFinder>

namespace parlowvista {

QList<qsizetype> graphemeBoundaries(const QString& text) {
  QList<qsizetype> boundaries;
  boundaries.append(0);
  if (text.isEmpty()) return boundaries;
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  while (finder.toNextBoundary() != -1) boundaries.append(finder.position());
  if (boundaries.last() != text.size()) boundaries.append(text.size());
  return boundaries;
}

qsizetype graphemeCount(const QString& text) {
  return graphemeBoundaries(text).size() - 1;
}

qsizetype graphemeIndexForUtf16Offset(const QString& text, qsizetype utf16Offset) {
  const auto boundaries = graphemeBoundaries(text);
  qsizetype index = 0;
  for (qsizetype i = 1; i < boundaries.size(); ++i) {
    if (boundaries[i] > utf16Offset) break;
    index = i;
  }
  return index;
}

static bool isHorizontalWhitespace(QChar c) {
  return c == u'\t' || c.category() == QChar::Separator_Space;
}

QString trimmingHorizontalWhitespace(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && isHorizontalWhitespace(text[begin])) ++begin;
  while (end > begin && isHorizontalWhitespace(text[end - 1])) --end;
  return text.mid(begin, end - begin);
}

}  // namespace parlowvista
