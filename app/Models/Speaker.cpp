#include "Models/Speaker.h"

#include "Models/TextGraphemes.h"

#include <QChar>
#include <limits>

namespace parlowvista {

Speaker::Speaker(qint64 speakerId, std::optional<QString> customName, std::optional<QString> colorHex)
    : speakerId(speakerId), customName(std::move(customName)), colorHex(std::move(colorHex)) {}

const QList<QColor>& Speaker::defaultColors() {
  // The desktop's standard accent colours of the light appearance.
  static const QList<QColor> colors{
      QColor(0, 122, 255),   // blue
      QColor(40, 205, 65),   // green
      QColor(255, 149, 0),   // orange
      QColor(175, 82, 222),  // purple
      QColor(255, 45, 85),   // pink
      QColor(85, 190, 240),  // cyan
      QColor(255, 204, 0),   // yellow
      QColor(255, 59, 48),   // red
  };
  return colors;
}

QColor Speaker::color() const {
  if (colorHex) return colorFromHex(*colorHex);
  const qint64 count = defaultColors().size();
  const qint64 index = ((speakerId % count) + count) % count;
  return defaultColors()[index];
}

QString Speaker::displayLabel(qint64 speakerId, const QList<Speaker>& speakers) {
  for (const auto& speaker : speakers) {
    if (speaker.speakerId == speakerId) {
      if (speaker.customName) return *speaker.customName;
      break;
    }
  }
  return QStringLiteral("Speaker %1").arg(speakerId + 1);
}

namespace {

bool isAlphanumeric(char32_t codePoint) {
  const auto category = QChar::category(codePoint);
  return QChar::isLetterOrNumber(codePoint) || category == QChar::Mark_NonSpacing ||
         category == QChar::Mark_SpacingCombining || category == QChar::Mark_Enclosing;
}

QString trimmingNonAlphanumerics(const QString& text) {
  const QList<uint> codePoints = text.toUcs4();
  qsizetype begin = 0;
  qsizetype end = codePoints.size();
  while (begin < end && !isAlphanumeric(codePoints[begin])) ++begin;
  while (end > begin && !isAlphanumeric(codePoints[end - 1])) --end;
  const auto* data = reinterpret_cast<const char32_t*>(codePoints.constData());
  return QString::fromUcs4(data + begin, end - begin);
}

int hexDigit(QChar c) {
  if (c >= u'0' && c <= u'9') return c.unicode() - u'0';
  if (c >= u'a' && c <= u'f') return c.unicode() - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c.unicode() - u'A' + 10;
  return -1;
}

// Reads a hexadecimal number from the start of the text the way a text scanner does: an
// optional "0x" prefix, then digits up to the first other character; saturates on overflow.
quint64 scanHex(const QString& text) {
  qsizetype i = 0;
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X') && hexDigit(text[2]) >= 0) i = 2;
  quint64 value = 0;
  for (; i < text.size(); ++i) {
    const int digit = hexDigit(text[i]);
    if (digit < 0) break;
    if (value > (std::numeric_limits<quint64>::max() >> 4)) return std::numeric_limits<quint64>::max();
    value = (value << 4) | quint64(digit);
  }
  return value;
}

}  // namespace

QColor colorFromHex(const QString& hex) {
  const QString trimmed = trimmingNonAlphanumerics(hex);
  const quint64 value = scanHex(trimmed);
  int alpha = 255;
  int red = 0;
  int green = 0;
  int blue = 0;
  switch (graphemeCount(trimmed)) {
    case 3:
      red = int(((value >> 8) & 0xF) * 17);
      green = int(((value >> 4) & 0xF) * 17);
      blue = int((value & 0xF) * 17);
      break;
    case 8: alpha = int((value >> 24) & 0xFF); [[fallthrough]];
    case 6:
      red = int((value >> 16) & 0xFF);
      green = int((value >> 8) & 0xFF);
      blue = int(value & 0xFF);
      break;
    default: break;
  }
  QColor color;
  color.setRgbF(float(red / 255.0), float(green / 255.0), float(blue / 255.0), float(alpha / 255.0));
  return color;
}

}  // namespace parlowvista
