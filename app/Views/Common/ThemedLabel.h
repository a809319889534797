#pragma once

#include "Views/Common/Theme.h"

#include <QLabel>

namespace parlowvista {

// A plain-text label, or an icon, drawn in one of the theme's colours (success, secondary text,
// ...), taken from the palette it sits in and taken again when that palette changes.
class ThemedLabel : public QLabel {
  Q_OBJECT
 public:
  ThemedLabel(const QString& text, ThemeColor color, QWidget* parent = nullptr);
  // An icon label: the bundled icon `iconName`, `size` pixels square, in `color`.
  static ThemedLabel* icon(const QString& iconName, ThemeColor color, int size, QWidget* parent = nullptr);

  ThemeColor themeColor() const { return m_color; }
  void setThemeColor(ThemeColor color);
  void setIconName(const QString& iconName);
  const QString& iconName() const { return m_iconName; }
  // Which palette role this label sits on (Window unless it is drawn on a field).
  void setBackgroundRoleForContrast(QPalette::ColorRole role);

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void applyColor();

  ThemeColor m_color;
  QString m_iconName;
  int m_iconSize = 0;
  QPalette::ColorRole m_background = QPalette::Window;
  bool m_applying = false;
};

// Labels in the system's text styles. Every one is plain text: names and errors show as typed.
QLabel* plainLabel(const QString& text, QWidget* parent);
// Caption size (0.85 of the widget's font).
void setCaptionFont(QWidget* widget, double scale = 0.85);
// `base` at caption size, in points or pixels as `base` is given.
QFont captionFont(const QFont& base, double scale = 0.85);
// The system's fixed-pitch font at the caption size of `base` (time stamps, values, commands).
QFont monospacedCaptionFont(const QFont& base);
// A caption in the secondary text colour.
ThemedLabel* captionLabel(const QString& text, QWidget* parent);
// Bold, for the title of a sheet or a section.
QLabel* headlineLabel(const QString& text, QWidget* parent);

}  // namespace parlowvista
