#include "ViewModels/LogFormat.h"

#include <QLocale>

#include <cmath>

namespace parlowvista {

QString shortestDouble(double value) {
  QString text = QString::number(value, 'g', QLocale::FloatingPointShortest);
  if (std::isfinite(value) && !text.contains('.') && !text.contains('e')) text += ".0";
  return text;
}

QString formatFixed1(double value) {
  return QString::asprintf("%.1f", value);
}

QString countOrMinusOne(std::optional<qint64> value) {
  return QString::number(value.value_or(-1));
}

QString condensedToolError(const QString& text) {
  constexpr qsizetype kLimit = 500;
  if (text.size() <= kLimit && !text.trimmed().contains(QLatin1Char('\n'))) return text;
  const qsizetype colon = text.indexOf(QLatin1String(": "));
  const QString head =
      colon > 0 && colon < 60 && !text.left(colon).contains(QLatin1Char('\n')) ? text.left(colon + 2) : QString();
  const QStringList lines = text.mid(head.size()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  QStringList errors;
  for (const QString& line : lines) {
    if (line.contains(QLatin1String("ERROR:"))) errors << line.trimmed();
  }
  QString shown =
      errors.isEmpty() ? (lines.isEmpty() ? QString() : lines.last().trimmed()) : errors.join(QLatin1Char('\n'));
  const qsizetype room = kLimit - head.size();
  if (shown.size() > room) shown = QStringLiteral("\u2026") + shown.right(room - 1);
  return head + shown;
}

QString lastToolErrorLine(const QString& output) {
  constexpr qsizetype kLimit = 300;
  const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  QString last;
  for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
    const QString trimmed = line->trimmed();
    if (trimmed.isEmpty()) continue;
    if (last.isEmpty()) last = trimmed;
    if (trimmed.contains(QLatin1String("ERROR:"))) {
      last = trimmed;
      break;
    }
  }
  if (last.size() > kLimit) last = last.left(kLimit - 1) + QStringLiteral("\u2026");
  return last;
}

}  // namespace parlowvista
