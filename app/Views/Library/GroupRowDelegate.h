#pragma once

#include <QStyledItemDelegate>

namespace parlowvista {

// Draws a group row: folder icon, the name on one line (elided), and a capsule with the
// number of sources. Its editor is the in-place rename field ("Group name"): Return commits
// through the model; Escape, and leaving the field any other way (the focus going elsewhere,
// another row chosen), close it and keep the name.
class GroupRowDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;

 protected:
  bool eventFilter(QObject* editor, QEvent* event) override;
};

}  // namespace parlowvista
