#include "Views/Common/SheetPlacement.h"

#include <QEvent>
#include <QLayout>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>

namespace parlowvista {

namespace {

class ScreenFit : public QObject {
 public:
  explicit ScreenFit(QWidget* window) : QObject(window), m_window(window) { window->installEventFilter(this); }

  void fit() {
    const QScreen* screen = m_window->screen();
    if (!screen) return;
    const QSize frame = m_window->frameGeometry().size() - m_window->geometry().size();
    m_frame = frame;
    const QRect room = screen->availableGeometry();
    const QSize most = (room.size() - frame).expandedTo(QSize(1, 1));
    // The window's own minimum: any other than the one set here. It is left alone (and so
    // still follows the window's layout) unless there is no room for it.
    const QSize minimum = m_window->minimumSize();
    if (!m_bounding || minimum != m_bounded) m_own = minimum;
    m_bounded = m_own.boundedTo(most);
    m_bounding = m_bounded != m_own;
    if (minimum != m_bounded) m_window->setMinimumSize(m_bounded);
    if (m_window->width() > most.width() || m_window->height() > most.height())
      m_window->resize(m_window->size().boundedTo(most));
    const QRect outer = m_window->frameGeometry();
    const int x = std::clamp(outer.x(), room.left(), std::max(room.left(), room.right() + 1 - outer.width()));
    const int y = std::clamp(outer.y(), room.top(), std::max(room.top(), room.bottom() + 1 - outer.height()));
    if (x != outer.x() || y != outer.y()) m_window->move(x, y);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == m_window) {
      // A window manager draws its frame after the window is first shown: fit again with it.
      const bool framed =
          event->type() == QEvent::Move && m_window->frameGeometry().size() - m_window->geometry().size() != m_frame;
      // A window that grows (a sheet showing more) is fitted again too.
      if (event->type() == QEvent::Show || event->type() == QEvent::Resize || framed) fit();
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QWidget* m_window;
  QSize m_own;
  QSize m_bounded;
  bool m_bounding = false;
  QSize m_frame;
};

template <typename Helper>
Helper* helperOf(QWidget* window) {
  for (QObject* child : window->children()) {
    if (auto* helper = dynamic_cast<Helper*>(child)) return helper;
  }
  return nullptr;
}

ScreenFit* screenFitOf(QWidget* window) {
  return helperOf<ScreenFit>(window);
}

void centre(QWidget* sheet, const QWidget* window) {
  const QSize size = sheet->size();
  sheet->move(window->geometry().center() - QPoint(size.width() / 2, size.height() / 2));
  keepOnScreen(sheet);
  screenFitOf(sheet)->fit();
}

// A sheet stays over the middle of its window when the window moves or changes size: a window
// manager places a window only after it is shown, often with its first sheet already open.
class FollowParentWindow : public QObject {
 public:
  FollowParentWindow(QWidget* sheet, QWidget* window) : QObject(sheet), m_sheet(sheet), m_window(window) {
    window->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == m_window && m_sheet->isVisible() &&
        (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
      centre(m_sheet, m_window);
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QWidget* m_sheet;
  QWidget* m_window;
};

class FontGrowth : public QObject {
 public:
  FontGrowth(QWidget* sheet, int leastWidth) : QObject(sheet), m_sheet(sheet), m_least(leastWidth) {
    sheet->installEventFilter(this);
    fitWidth();
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != m_sheet) return false;
    // After the sheet's own handling: its layout has taken the new font by then.
    if (event->type() == QEvent::LayoutRequest) QTimer::singleShot(0, this, [this] { fitWidth(); });
    if (event->type() == QEvent::FontChange && m_sheet->isVisible())
      QTimer::singleShot(0, this, [this] {
        // Hints kept from the old font (a button's, whose texts are laid out inside it) go.
        for (QWidget* widget : m_sheet->findChildren<QWidget*>()) {
          if (QLayout* inner = widget->layout()) inner->activate();
          widget->updateGeometry();
        }
        if (QLayout* layout = m_sheet->layout()) layout->activate();
        fitWidth();
        m_sheet->adjustSize();
      });
    return false;
  }

 private:
  void fitWidth() {
    const int needed = m_sheet->layout() ? m_sheet->layout()->totalMinimumSize().width() : 0;
    const int width = std::max(m_least, needed);
    if (m_sheet->minimumWidth() != width) m_sheet->setMinimumWidth(width);
  }

  QWidget* m_sheet;
  int m_least;
};

}  // namespace

void growWithFont(QWidget* sheet, int leastWidth) {
  new FontGrowth(sheet, leastWidth);
}

void keepOnScreen(QWidget* window) {
  if (window && !screenFitOf(window)) new ScreenFit(window);
}

void centreOverParentWindow(QWidget* sheet) {
  if (!sheet || !sheet->parentWidget()) return;
  QWidget* window = sheet->parentWidget()->window();
  if (!sheet->testAttribute(Qt::WA_Resized)) sheet->adjustSize();
  centre(sheet, window);
  if (!helperOf<FollowParentWindow>(sheet)) new FollowParentWindow(sheet, window);
}

}  // namespace parlowvista
