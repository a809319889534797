#include "Views/Workspace/WorkspaceStyle.h"

#include "Views/Common/ColorContrast.h"
#include "Views/Common/Theme.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <cmath>

static void initWorkspaceResources() {
  Q_INIT_RESOURCE(workspace);
}

namespace parlowvista::workspace {

QColor accentColor(const QPalette& palette) {
  return palette.color(QPalette::Highlight);
}

QColor secondaryTextColor(const QPalette& palette) {
  const QColor text = palette.color(QPalette::Text);
  const QColor base = palette.color(QPalette::Base);
  const QColor window = palette.color(QPalette::Window);
  // Step back toward the text colour until both backgrounds the text sits on read well.
  for (double t = 0.35; t > 0; t -= 0.05) {
    const QColor c = mixed(text, base, t);
    if (contrastRatio(c, base) >= 4.6 && contrastRatio(c, controlBackgroundColor(palette)) >= 4.6 &&
        contrastRatio(c, window) >= 4.6)
      return c;
  }
  return text;
}

QColor controlBackgroundColor(const QPalette& palette) {
  return mixed(palette.color(QPalette::Window), palette.color(QPalette::Text), 0.03);
}

QColor over(const QColor& colour, double opacity, const QColor& background) {
  return mixed(background, colour, opacity);
}

QColor readableOn(const QColor& colour, const QColor& background) {
  if (contrastRatio(colour, background) >= 4.5) return colour;
  const QColor target = relativeLuminance(background) > 0.4 ? QColor(Qt::black) : QColor(Qt::white);
  for (double t = 0.1; t < 1.0; t += 0.1) {
    const QColor c = mixed(colour, target, t);
    if (contrastRatio(c, background) >= 4.5) return c;
  }
  return target;
}

namespace {

QPalette surroundings(const QWidget* widget) {
  return widget->parentWidget() ? widget->parentWidget()->palette() : QApplication::palette(widget);
}

}  // namespace

void followTextColour(QWidget* widget, PaletteColour colour) {
  // Derived from the parent's palette: the widget's own text roles hold the last result.
  Theme::followPalette(widget, [widget, colour] { Theme::setTextColor(widget, colour(surroundings(widget))); });
}

void followSymbol(QAbstractButton* button, const QString& name, PaletteColour colour, int size) {
  Theme::followPalette(
      button, [button, name, colour, size] { button->setIcon(symbolIcon(name, colour(button->palette()), size)); });
}

void followSymbol(QLabel* label, const QString& name, PaletteColour colour, int size) {
  Theme::followPalette(label, [label, name, colour, size] {
    label->setPixmap(symbolIcon(name, colour(surroundings(label)), size).pixmap(size, size));
  });
}

QFont captionFont(const QFont& base) {
  QFont f = base;
  if (f.pointSizeF() > 0)
    f.setPointSizeF(f.pointSizeF() * 0.85);
  else
    f.setPixelSize(std::max(9, int(f.pixelSize() * 0.85)));
  return f;
}

QFont monospacedCaptionFont(const QFont& base) {
  QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  const QFont caption = captionFont(base);
  if (caption.pointSizeF() > 0) f.setPointSizeF(caption.pointSizeF());
  return f;
}

QIcon symbolIcon(const QString& name, const QColor& colour, int size) {
  static const bool initialised = (initWorkspaceResources(), true);
  (void)initialised;
  QSvgRenderer renderer(QString(":/workspace/%1.svg").arg(name));
  QIcon icon;
  for (int scale : {1, 2}) {
    QPixmap pixmap(size * scale, size * scale);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, size * scale, size * scale));
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), colour);
    painter.end();
    pixmap.setDevicePixelRatio(scale);
    icon.addPixmap(pixmap);
  }
  return icon;
}

QString speakerName(qint64 speakerId, const QList<Speaker>& speakers) {
  for (const auto& s : speakers) {
    if (s.speakerId == speakerId) {
      if (s.customName) return *s.customName;
      break;
    }
  }
  return QString("Speaker %1").arg(speakerId + 1);
}

QColor speakerColor(qint64 speakerId, const QList<Speaker>& speakers) {
  for (const auto& s : speakers) {
    if (s.speakerId == speakerId) return s.color();
  }
  const auto& colours = Speaker::defaultColors();
  return colours[int(speakerId % colours.size())];
}

QString formatClock(double seconds) {
  const qint64 s = std::isfinite(seconds) ? qint64(seconds) : 0;
  return QString("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar('0'));
}

}  // namespace parlowvista::workspace
