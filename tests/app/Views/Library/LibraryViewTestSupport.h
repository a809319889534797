#pragma once

#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMimeData>
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
inline void pickWhenShown(const QString& entry, int attemptsLeft) {
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  if (!menu || !menu->isVisible()) {
    // The menu's own loop has not shown it yet: look again on the next turn.
    if (attemptsLeft > 0) {
      QTimer::singleShot(10, [entry, attemptsLeft] { pickWhenShown(entry, attemptsLeft - 1); });
    } else {
      ADD_FAILURE() << "no menu came up for " << entry.toStdString();
    }
    return;
  }
  for (QAction* action : menu->actions()) {
    if (action->text() == entry) {
      menu->setActiveAction(action);
      QTest::keyClick(menu, Qt::Key_Return);
      return;
    }
  }
  ADD_FAILURE() << "no entry " << entry.toStdString();
  menu->close();
}
}  // namespace detail

// Runs `open`, which brings up a context menu (its exec() loop), and picks `entry` in it with
// the keyboard, as a person would.
inline void pickFromMenu(const std::function<void()>& open, const QString& entry) {
  QTimer::singleShot(0, [entry] { detail::pickWhenShown(entry, 100); });
  open();
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

}  // namespace librarytest
