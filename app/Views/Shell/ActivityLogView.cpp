#include "Views/Shell/ActivityLogView.h"

#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Common/ItemViewFocus.h"

#include <QApplication>
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

// A log line wraps within the list's width: between words, and inside a word longer than the
// line (a path, an address), which would otherwise widen every row past the panel.
class LogLineDelegate : public QStyledItemDelegate {
 public:
  explicit LogLineDelegate(QListView* view) : QStyledItemDelegate(view), m_view(view) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const int width = std::max(m_view->viewport()->width() - 2 * kTextMargin, 40);
    QTextLayout layout(index.data().toString(), option.font);
    layOut(layout, width);
    return {width + 2 * kTextMargin, qCeil(layout.boundingRect().height()) + 2 * kTextMargin};
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem item(option);
    initStyleOption(&item, index);
    QTextLayout layout(item.text, item.font);
    item.text.clear();  // the style draws the row, the text is laid out here
    const QWidget* widget = item.widget;
    (widget ? widget->style() : QApplication::style())->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);
    layOut(layout, item.rect.width() - 2 * kTextMargin);
    painter->save();
    painter->setPen(item.palette.color(QPalette::Text));
    layout.draw(painter, item.rect.topLeft() + QPoint(kTextMargin, kTextMargin));
    painter->restore();
  }

 private:
  static void layOut(QTextLayout& layout, int width) {
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(width);
      line.setPosition(QPointF(0, y));
      y += line.height();
    }
    layout.endLayout();
  }

  QListView* m_view;
};

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
  m_list->setItemDelegate(new LogLineDelegate(m_list));
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
    firstNew = 0;
  } else {
    for (qsizetype i = 0; i < dropped; ++i) delete m_list->takeItem(0);
  }
  for (qsizetype i = firstNew; i < logs.size(); ++i) {
    const LogEntry& entry = logs[i];
    auto* item = new QListWidgetItem(entry.timestamp.toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ") +
                                     entry.message);
    item->setData(Qt::UserRole, entry.id);
    m_list->addItem(item);
  }
  // Follows the newest line by its identity, not by the count, which stops growing at 100.
  // Scrolling lays the whole list out at once (each row's wrapped text), so a burst of lines (a
  // run's end logs dozens in one go) scrolls once, when it is over.
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

void ActivityLogView::showNewest() {
  if (m_list->count() == 0) return;
  // The newest line is also the current one: the keyboard lands there, and the side panel,
  // which scrolls to a focused list's current line, keeps the log in view.
  m_list->setCurrentRow(m_list->count() - 1, QItemSelectionModel::NoUpdate);
  m_list->scrollToItem(m_list->item(m_list->count() - 1));
}

}  // namespace parlowvista
