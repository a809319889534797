#pragma once

#include <QAbstractButton>
#include <QStringList>
#include <QWidget>

class QButtonGroup;

namespace parlowvista {

// A row of exclusive, checkable segments (one choice of a few). The selected segment is filled
// with the palette's accent and its text, the others with the button colour, so the choice reads
// at a glance in a light and a dark palette (see Theme::segmentColors). Each segment is its own
// Tab stop, named by its label, and shows a focus ring.
class SegmentedControl : public QWidget {
  Q_OBJECT
 public:
  SegmentedControl(const QStringList& labels, QWidget* parent = nullptr);

  // The segments, with ids 0, 1, ... in label order.
  QButtonGroup* group() const { return m_group; }
  QAbstractButton* segment(int index) const;
  void setCurrentIndex(int index);
  int currentIndex() const;

 private:
  QButtonGroup* m_group;
};

// One segment; drawn by itself rather than by the style, which shows a checked push button only
// a shade apart from an unchecked one.
class SegmentButton : public QAbstractButton {
  Q_OBJECT
 public:
  enum class Position { only, first, middle, last };
  SegmentButton(const QString& text, Position position, QWidget* parent = nullptr);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  Position m_position;
};

}  // namespace parlowvista
