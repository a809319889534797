#pragma once

#include <QLayout>
#include <QList>

namespace parlowvista {

// Lays its items out left to right and starts a new line when the next one does not fit, so
// a strip of many small items (a source's version chips) never asks for more width than its
// widest item. Items keep their size hints, narrowed to the line where one is wider than it.
class FlowLayout : public QLayout {
 public:
  explicit FlowLayout(QWidget* parent = nullptr, int spacing = 4);
  ~FlowLayout() override;

  void insertWidget(int index, QWidget* widget);

  void addItem(QLayoutItem* item) override;
  int count() const override { return int(m_items.size()); }
  QLayoutItem* itemAt(int index) const override { return m_items.value(index); }
  QLayoutItem* takeAt(int index) override;
  Qt::Orientations expandingDirections() const override { return {}; }
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize minimumSize() const override;
  QSize sizeHint() const override { return minimumSize(); }
  void setGeometry(const QRect& rect) override;

 private:
  // Places the items in `rect` (only measures unless `apply`); returns the height used.
  int arrange(const QRect& rect, bool apply) const;

  QList<QLayoutItem*> m_items;
};

}  // namespace parlowvista
