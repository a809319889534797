#pragma once

#include <QHash>
#include <QIcon>
#include <QStyledItemDelegate>
#include <QUuid>

class QListView;

namespace parlowvista {

class SegmentRowEditor;

// Draws one segment row of the results list and creates its editor. A row is, left to
// right: the play button, the speaker badge, the time range over the text, and the
// re-transcribe and edit buttons; its fill and border mark the playing and the edited row.
// Row heights are measured once per segment text and width and kept, and the fonts' measures
// once per font of the view, so a long transcript lays out and scrolls without measuring every
// row again.
class SegmentRowDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  enum class Part { none, play, badge, text, retranscribe, edit };
  struct Geometry {
    QRect frame, play, badge, text, time, body, retranscribe, edit, editor;
  };

  explicit SegmentRowDelegate(QListView* view);

  Geometry geometry(const QRect& frame, const QModelIndex& index) const;
  Part hit(const QRect& frame, const QModelIndex& index, const QPoint& at) const;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  void setEditorData(QWidget*, const QModelIndex&) const override {}
  void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const override;
  // The painted buttons' tooltips, as a real button would show them.
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;
  // What a painted part does, for its tooltip; empty for a part that does nothing here.
  QString toolTip(Part part, const QModelIndex& index) const;

  void setEditingRow(const QUuid& id, SegmentRowEditor* editor);
  void setCanRetranscribe(bool value) { m_canRetranscribe = value; }
  bool canRetranscribe() const { return m_canRetranscribe; }
  void setReadOnly(bool value) { m_readOnly = value; }
  // Tells the view a row's height changed (its editor grew or shrank).
  void rowHeightChanged(const QModelIndex& index);

 signals:
  void editorCreated(SegmentRowEditor* editor) const;

 protected:
  bool eventFilter(QObject*, QEvent*) override { return false; }

 private:
  struct Height {
    int width = -1;
    QString text;
    QString name;
    int height = 0;
  };
  // What the view's font measures, taken again when that font changes.
  struct Measures {
    QFont font;
    int badgeHeight = 0;
    int timeHeight = 0;
    int bodyLineHeight = 0;
    QHash<QString, int> badgeWidths;  // by speaker name
  };
  const Measures& measures() const;
  Geometry geometry(const QRect& frame, const QString& speakerName) const;
  QIcon icon(const QString& name, const QColor& colour) const;

  QListView* m_view;
  QUuid m_editingId;
  SegmentRowEditor* m_editor = nullptr;
  bool m_canRetranscribe = false;
  bool m_readOnly = false;
  mutable QHash<QUuid, Height> m_heights;
  mutable Measures m_measures;
  mutable QHash<QString, QIcon> m_icons;
};

}  // namespace parlowvista
