#pragma once

#include <QAbstractButton>

namespace parlowvista {

// A version's chip in a source row: its name in a small capsule, checkable (checked marks the
// version on screen). Drawn from its palette: Button and ButtonText when unchecked, Highlight
// and HighlightedText when checked, which the row sets to colours that read on it. A Tab stop
// with a focus ring, named "Version <name>".
class VersionChip : public QAbstractButton {
  Q_OBJECT
 public:
  explicit VersionChip(const QString& name, QWidget* parent = nullptr);

  void setName(const QString& name);
  QSize sizeHint() const override;
  // A long name is shortened with "…" rather than widen the row.
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  mutable QSize m_sizeHint;
};

}  // namespace parlowvista
