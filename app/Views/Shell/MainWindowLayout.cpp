// How the main window fits the screen it is on, and the order Tab goes through its columns.

#include "Views/Library/AudioSourcesList.h"
#include "Views/Library/GroupsSidebar.h"
#include "Views/Shell/MainWindow.h"
#include "Views/Shell/ProcessingScreens.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMenuBar>
#include <QMoveEvent>
#include <QScreen>
#include <QSplitter>

namespace parlowvista {

QList<std::pair<QWidget*, QSize>> MainWindow::columnMinimums(bool compact) const {
  // A minimum set on a column stands in for what its contents ask: it must not be less, or a
  // larger font than the one the figures were chosen with would cut their text.
  const auto atLeast = [](QWidget* column, QSize least) { return least.expandedTo(column->minimumSizeHint()); };
  // Compact: no more than the columns' contents need, but room in the groups list for the
  // folder, a short name and its count (the header alone would leave the names a few letters).
  return {{m_sidebar, atLeast(m_sidebar, QSize(compact ? 140 : 160, 0))},
          {m_sources, compact ? QSize(0, 0) : atLeast(m_sources, QSize(220, 0))},
          {m_screens, compact ? QSize(0, 0) : atLeast(m_screens, QSize(400, 400))}};
}

void MainWindow::setColumnMinimums(bool compact) {
  m_compactColumns = compact;
  for (const auto& [column, minimum] : columnMinimums(compact)) column->setMinimumSize(minimum);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  // A column whose contents came to need other room (a result's figures, a longer name) is
  // fitted again; only then, as a fit lays the columns out anew.
  if (event->type() == QEvent::LayoutRequest && isVisible() &&
      (watched == m_sidebar || watched == m_sources || watched == m_screens)) {
    for (const auto& [column, minimum] : columnMinimums(m_compactColumns)) {
      if (column->minimumSize() == minimum) continue;
      fitToScreen();
      break;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

QSize MainWindow::textExtent() const {
  const QFontMetrics metrics(font());
  return {metrics.horizontalAdvance(QStringLiteral("The quick brown fox jumps over the lazy dog")), metrics.height()};
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::FontChange || !isVisible()) return;
  // A font drawn another way at the same size asks for no other room.
  if (textExtent() != m_fittedExtent) fitToScreen();
}

void MainWindow::fitToScreen() {
  const QScreen* shown = screen();
  if (!shown) return;
  // Room for the contents: the screen's free area less the frame a window manager has drawn.
  const QSize frame = frameGeometry().size() - geometry().size();
  m_fittedFrame = frame;
  m_fittedExtent = textExtent();
  const QSize room = shown->availableGeometry().size() - frame;
  const QSize chrome(0, menuBar()->isVisible() ? menuBar()->sizeHint().height() : 0);
  setColumnMinimums(false);
  QSize needed = m_columns->minimumSizeHint() + chrome;
  if (needed.width() > room.width() || needed.height() > room.height()) {
    setColumnMinimums(true);
    needed = m_columns->minimumSizeHint() + chrome;
  }
  setMinimumSize(needed.boundedTo(room));
  if (width() > room.width() || height() > room.height()) resize(size().boundedTo(room));
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  // A window manager draws its frame after the window is first shown: fit again with it.
  if (frameGeometry().size() - geometry().size() != m_fittedFrame) fitToScreen();
}

QList<QWidget*> MainWindow::tabStops() const {
  // The controls Tab stops on, as Qt picks them, in the order of the focus chain...
  const int columns = m_columns->count();
  QList<QList<QWidget*>> byColumn(columns + 1);
  for (QWidget* w = nextInFocusChain(); w && w != this; w = w->nextInFocusChain()) {
    if (w->window() != this || w->focusProxy() || !(w->focusPolicy() & Qt::TabFocus) || !w->isEnabled() ||
        !w->isVisibleTo(this)) {
      continue;
    }
    int column = 0;
    while (column < columns && !m_columns->widget(column)->isAncestorOf(w)) ++column;
    byColumn[column] << w;
  }
  // ... column by column, each in the order it is read: a control wholly above another comes
  // first, whenever it was made (a new file's row goes on top of the list, the speakers' rows
  // are made after the activity log below them); side by side, the focus chain's order holds.
  QList<QWidget*> stops;
  for (int column = 0; column <= columns; ++column) {
    QList<QWidget*> left = byColumn[column];
    const QWidget* area = this;
    if (column < columns) area = m_columns->widget(column);
    // A control squeezed to no height still stands somewhere: at least one pixel tall, it
    // cannot stand above itself, so some control is always first.
    QList<QRect> at;
    for (QWidget* w : left) at << QRect(w->mapTo(area, QPoint(0, 0)), w->size().expandedTo(QSize(1, 1)));
    while (!left.isEmpty()) {
      qsizetype next = 0;
      const auto somethingAbove = [&](qsizetype i) {
        for (qsizetype j = 0; j < left.size(); ++j)
          if (at[j].bottom() < at[i].top()) return true;
        return false;
      };
      while (next + 1 < left.size() && somethingAbove(next)) ++next;
      stops << left.takeAt(next);
      at.removeAt(next);
    }
  }
  return stops;
}

bool MainWindow::focusNextPrevChild(bool next) {
  const QList<QWidget*> stops = tabStops();
  QWidget* focused = QApplication::focusWidget();
  if (stops.isEmpty() || !focused || focused->window() != this) return QMainWindow::focusNextPrevChild(next);
  qsizetype at = stops.indexOf(focused);
  for (qsizetype i = 0; at < 0 && i < stops.size(); ++i) {
    if (stops[i]->isAncestorOf(focused)) at = i;
  }
  const qsizetype n = stops.size();
  const qsizetype target = at < 0 ? (next ? 0 : n - 1) : (at + (next ? 1 : n - 1)) % n;
  stops[target]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
  return true;
}

}  // namespace parlowvista
