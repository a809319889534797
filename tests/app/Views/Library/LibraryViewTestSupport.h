#pragma once

#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

namespace librarytest {

// What a file manager hands over when files are dragged: a text/uri-list of local files.
inline std::unique_ptr<QMimeData> uriList(const QStringList& paths) {
  auto data = std::make_unique<QMimeData>();
  QList<QUrl> urls;
  for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
  data->setUrls(urls);
  return data;
}

namespace detail {
// Calls `handle` with the menu `open` brought up: a menu shown after `open` started, never one
// that was up before it (the test's own, or one something else left open). Looks again on every
// turn of the menu's loop until `deadline` has passed; a loaded machine may take a while.
inline void whenShown(const std::function<void(QMenu*)>& handle, const QPointer<QWidget>& before,
                      const std::shared_ptr<QElapsedTimer>& since) {
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  if (!menu || menu == before || !menu->isVisible()) {
    if (since->elapsed() < 20000) {
      QTimer::singleShot(10, [handle, before, since] { whenShown(handle, before, since); });
    } else {
      ADD_FAILURE() << "no menu came up";
    }
    return;
  }
  handle(menu);
}

inline QAction* entryIn(QMenu* menu, const QString& entry) {
  for (QAction* action : menu->actions()) {
    if (action->text() == entry) return action;
  }
  ADD_FAILURE() << "no entry " << entry.toStdString();
  return nullptr;
}

inline void runMenu(const std::function<void()>& open, const std::function<void(QMenu*)>& handle) {
  const QPointer<QWidget> before = QApplication::activePopupWidget();
  auto since = std::make_shared<QElapsedTimer>();
  since->start();
  QTimer::singleShot(0, [handle, before, since] { whenShown(handle, before, since); });
  open();
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}
}  // namespace detail

// Runs `open`, which brings up a context menu (its exec() loop), and picks `entry` in it with
// the keyboard, as a person would.
inline void pickFromMenu(const std::function<void()>& open, const QString& entry) {
  detail::runMenu(open, [entry](QMenu* menu) {
    if (QAction* action = detail::entryIn(menu, entry)) {
      menu->setActiveAction(action);
      QTest::keyClick(menu, Qt::Key_Return);
    } else {
      menu->close();
    }
  });
}

// How `entry` shows in the context menu `open` brings up: whether it can be picked, and its tip.
struct MenuEntry {
  bool enabled = false;
  QString toolTip;
};
inline MenuEntry entryInMenu(const std::function<void()>& open, const QString& entry) {
  MenuEntry shown;
  detail::runMenu(open, [&shown, entry](QMenu* menu) {
    if (QAction* action = detail::entryIn(menu, entry)) shown = {action->isEnabled(), action->toolTip()};
    menu->close();
  });
  return shown;
}

}  // namespace librarytest
