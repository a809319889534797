#pragma once

#include <QAbstractButton>

namespace parlowvista {

// A version's chip in a source row: its name in a small capsule, checkable (checked marks the
// version on screen); a translation's chip has a globe before its name. Drawn from its palette:
// Button and ButtonText when unchecked, Highlight and HighlightedText when checked, which the
// row sets to colours that read on it. A Tab stop with a focus ring, named "Version <name>"
// or "Translation <name>".
class VersionChip : public QAbstractButton {
  Q_OBJECT
 public:
  explicit VersionChip(const QString& name, QWidget* parent = nullptr);

  void setName(const QString& name);
  void setTranslation(bool translation);
  bool isTranslation() const { return m_translation; }
  QSize sizeHint() const override;
  // A long name is shortened with "…" rather than widen the row.
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;
  // The selection decides which chip is checked: a click only asks for its version, so a
  // click on the chip already shown does not clear its mark.
  void nextCheckState() override {}

 private:
  void updateAccessibleName();
  int globeSize() const;

  mutable QSize m_sizeHint;
  bool m_translation = false;
};

}  // namespace parlowvista
