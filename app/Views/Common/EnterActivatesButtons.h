#pragma once

#include <QObject>

namespace parlowvista {

// Return and the keypad's Enter press the focused button as Space does. People on Linux
// desktops expect a focused button to act on Enter; Qt's own buttons do so only inside
// dialogs. Check boxes and radio buttons are left out: in a dialog Enter on them goes to its
// default button, as it does from a line edit. Installed once on the application object, it
// lives as long as its parent. UI thread only.
class EnterActivatesButtons : public QObject {
  Q_OBJECT

 public:
  explicit EnterActivatesButtons(QObject* parent = nullptr);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace parlowvista
