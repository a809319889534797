#include "Views/Workspace/WorkspaceStyle.h"

#include "Views/Common/Icons.h"
#include "Views/Common/Theme.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>

static void initWorkspaceResources() {
  Q_INIT_RESOURCE(workspace);
}

namespace parlowvista::workspace {

QColor accentColor(const QPalette& palette) {
  return palette.color(QPalette::Highlight);
}

QColor controlBackgroundColor(const QPalette& palette) {
  return Theme::color(ThemeColor::stripBackground, palette);
}

QColor secondaryText(const QPalette& palette) {
  return Theme::color(ThemeColor::secondaryText, palette);
}

QString symbolPath(const QString& name) {
  static const bool initialised = (initWorkspaceResources(), true);
  (void)initialised;
  return QStringLiteral(":/workspace/%1.svg").arg(name);
}

namespace {

QPalette surroundings(const QWidget* widget) {
  return widget->parentWidget() ? widget->parentWidget()->palette() : QApplication::palette(widget);
}

}  // namespace

void followSymbol(QAbstractButton* button, const QString& name, PaletteColour colour, int size) {
  button->setIconSize(QSize(size, size));
  Theme::followPalette(
      button, [button, name, colour] { button->setIcon(Icons::icon(symbolPath(name), colour(button->palette()))); });
}

void followSymbol(QLabel* label, const QString& name, PaletteColour colour, int size) {
  Theme::followPalette(label, [label, name, colour, size] {
    label->setPixmap(Icons::pixmap(symbolPath(name), colour(surroundings(label)), size, label->devicePixelRatioF()));
  });
}

QColor speakerColor(qint64 speakerId, const QList<Speaker>& speakers) {
  for (const auto& s : speakers) {
    if (s.speakerId == speakerId) return s.color();
  }
  return Speaker(speakerId).color();
}

}  // namespace parlowvista::workspace
