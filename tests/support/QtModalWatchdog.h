#pragma once

// A message box the test did not expect (a real "Quit Without Saving?" question, say) would
// wait for an answer nobody gives until the test's time runs out. While this lives, any message
// box that opens fails the running test at once, naming the box, and is closed as its Cancel
// or Escape key closes it, so the code that asked goes on with "no".

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

namespace testsupport {

class ModalWatchdog {
 public:
  ModalWatchdog() {
    m_timer.setInterval(50);
    QObject::connect(&m_timer, &QTimer::timeout, [] {
      for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(window);
        if (!box || !box->isVisible()) continue;
        ADD_FAILURE() << "a message box opened: \"" << box->windowTitle().toStdString()
                      << "\": " << box->text().toStdString();
        box->close();
        if (box->isVisible()) box->done(QMessageBox::Cancel);  // a box without a cancel button
      }
    });
    m_timer.start();
  }

 private:
  QTimer m_timer;
};

}  // namespace testsupport
