#pragma once

#include <QStyledItemDelegate>

namespace parlowvista {

// Draws a group row: folder icon, the name on one line (elided), and a capsule with the
// number of sources. Its editor is the in-place rename field ("Group name"), opened by the
// sidebar as a persistent editor: Return commits through the model and then asks to close it
// (closeEditor with SubmitModelCache), Escape only asks to close it (RevertModelCache). Nothing
// else ends it: the focus going elsewhere (Tab, a click on another row or another window) leaves
// the field open with what was typed.
class GroupRowDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const override;
  // Fills the field once, as it opens: a later change of the row (its count, say) keeps what is
  // typed.
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;

 protected:
  bool eventFilter(QObject* editor, QEvent* event) override;
};

}  // namespace parlowvista
