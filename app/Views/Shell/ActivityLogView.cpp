#include "Views/Shell/ActivityLogView.h"

#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Common/ItemViewFocus.h"
#include "Views/Common/WrappedText.h"

#include <QApplication>
#include <QHash>
#include <QListWidget>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <QTimer>
#include <QVBoxLayout>
#include <QtMath>

#include <algorithm>

namespace parlowvista {

namespace {

constexpr int kTextMargin = 3;

}  // namespace

// A log line wraps within the list's width: between words, and inside a word longer than the
// line (a path, an address), which would otherwise widen every row past the panel. The list lays
// all its rows out again whenever a line comes or goes, so each line's height is kept once
// measured for the list's width (and font): a new line measures only itself.
class LogLineDelegate : public QStyledItemDelegate {
 public:
  explicit LogLineDelegate(QListView* view) : QStyledItemDelegate(view), m_view(view) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const int width = std::max(m_view->viewport()->width() - 2 * kTextMargin, 40);
    if (option.font != m_font) {
      m_heights.clear();
      m_font = option.font;
    }
    const QUuid id = index.data(Qt::UserRole).toUuid();
    auto known = m_heights.constFind(id);
    if (known == m_heights.cend() || known->width != width) {
      QTextLayout layout(index.data().toString(), option.font);
      layOutWrapped(layout, width);
      ++m_measured;
      known = m_heights.insert(id, Height{width, qCeil(layout.boundingRect().height())});
    }
    return {width + 2 * kTextMargin, known->height + 2 * kTextMargin};
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem item(option);
    initStyleOption(&item, index);
    QTextLayout layout(item.text, item.font);
    item.text.clear();  // the style draws the row, the text is laid out here
    const QWidget* widget = item.widget;
    (widget ? widget->style() : QApplication::style())->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);
    layOutWrapped(layout, item.rect.width() - 2 * kTextMargin);
    painter->save();
    painter->setPen(item.palette.color(QPalette::Text));
    layout.draw(painter, item.rect.topLeft() + QPoint(kTextMargin, kTextMargin));
    painter->restore();
  }

  // A line that left the log (its row is gone).
  void forget(const QUuid& id) { m_heights.remove(id); }
  void forgetAll() { m_heights.clear(); }
  int measured() const { return m_measured; }

 private:
  struct Height {
    int width = 0;  // of the text, what the height was measured for
    int height = 0;
  };

  QListView* m_view;
  mutable QFont m_font;
  mutable QHash<QUuid, Height> m_heights;  // by the line's id
  mutable int m_measured = 0;
};

namespace {

// The log is mostly scrolled away from its first line, where the list would show its focus.
class LogList : public QListWidget {
 public:
  using QListWidget::QListWidget;

 protected:
  void paintEvent(QPaintEvent* event) override {
    QListWidget::paintEvent(event);
    paintFocusWhereNoRowShowsIt(*this);
  }
};
}  // namespace

ActivityLogView::ActivityLogView(TranscriptionViewModel& viewModel, QWidget* parent)
    : QWidget(parent), m_viewModel(viewModel) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  m_list = new LogList(this);
  m_list->setAccessibleName(QStringLiteral("Activity Log"));
  m_list->setSelectionMode(QAbstractItemView::NoSelection);
  m_list->setWordWrap(true);
  m_delegate = new LogLineDelegate(m_list);
  m_list->setItemDelegate(m_delegate);
  // The rows are laid out again for the new width whenever the panel is resized.
  m_list->setResizeMode(QListView::Adjust);
  m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_list->setMinimumHeight(150);
  layout->addWidget(m_list);
  // While following, the newest row stays in view as the layout settles (a scroll bar that
  // appears narrows the rows and wraps their text again), until the user scrolls.
  QScrollBar* scrollBar = m_list->verticalScrollBar();
  connect(scrollBar, &QAbstractSlider::rangeChanged, this, [this] {
    if (m_following) showNewest();
  });
  connect(scrollBar, &QAbstractSlider::actionTriggered, this, [this] { m_following = false; });
  connect(&m_viewModel, &TranscriptionViewModel::logsChanged, this, &ActivityLogView::refresh);
  refresh();
}

void ActivityLogView::refresh() {
  const QList<LogEntry>& logs = m_viewModel.logs();
  // Rows stay as they are: lines that left the log go from the top, new ones are appended. The
  // list is rebuilt only when it no longer lines up with the log.
  qsizetype firstNew = 0;
  if (!m_newest.isNull()) {
    firstNew = logs.size();
    while (firstNew > 0 && logs[firstNew - 1].id != m_newest) --firstNew;
  }
  const qsizetype dropped = m_list->count() - firstNew;
  const bool aligned =
      dropped >= 0 && (firstNew == 0 || m_list->item(int(dropped))->data(Qt::UserRole) == logs.first().id);
  if (!aligned) {
    m_list->clear();
    m_delegate->forgetAll();
    firstNew = 0;
  } else {
    for (qsizetype i = 0; i < dropped; ++i) {
      QListWidgetItem* gone = m_list->takeItem(0);
      m_delegate->forget(gone->data(Qt::UserRole).toUuid());
      delete gone;
    }
  }
  for (qsizetype i = firstNew; i < logs.size(); ++i) {
    const LogEntry& entry = logs[i];
    auto* item = new QListWidgetItem(entry.timestamp.toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ") +
                                     entry.message);
    item->setData(Qt::UserRole, entry.id);
    m_list->addItem(item);
  }
  // Follows the newest line by its identity, not by the count, which stops growing at 100.
  // Scrolling lays the whole list out at once, so a burst of lines (a run's end logs dozens in
  // one go) scrolls once, when it is over.
  const QUuid newest = logs.isEmpty() ? QUuid() : logs.last().id;
  if (newest != m_newest) {
    m_following = true;
    if (!m_scrollPending) {
      m_scrollPending = true;
      QTimer::singleShot(0, this, [this] {
        m_scrollPending = false;
        showNewest();
      });
    }
  }
  m_newest = newest;
}

int ActivityLogView::measuredLines() const {
  return m_delegate->measured();
}

void ActivityLogView::showNewest() {
  if (m_list->count() == 0) return;
  // The newest line is also the current one: the keyboard lands there, and the side panel,
  // which scrolls to a focused list's current line, keeps the log in view.
  m_list->setCurrentRow(m_list->count() - 1, QItemSelectionModel::NoUpdate);
  m_list->scrollToItem(m_list->item(m_list->count() - 1));
}

}  // namespace parlowvista
