#pragma once

#include <QObject>
#include <QPointer>

class QWidget;

namespace parlowvista {

// Where the keyboard focus is, shown the same way on every control and in any palette: a ring
// round the control that has the focus (2 px in Theme::focusColor, with a 1 px line of the
// window colour inside it, so that it also stands out on a control filled with the highlight),
// drawn over the control by a small widget that follows the focus from control to control. It
// shows once the keyboard has moved the focus in that window, as the style's own focus frames
// do. Web views show their page's own focus and are left alone.
class FocusRing : public QObject {
  Q_OBJECT
 public:
  // Starts following the focus for the whole application (once; later calls do nothing). Call
  // it once the QApplication exists.
  static void install();
  // Whether the ring is drawn round `control` when it has the focus (it is, unless told here).
  static void setShownOn(QWidget* control, bool shown);
  // The control the ring is drawn round now; none while it is hidden.
  static QWidget* ringedControl();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  explicit FocusRing(QObject* parent);
  void follow(QWidget* focused);
  void place();

  QPointer<QWidget> m_control;
  QPointer<QWidget> m_ring;
};

}  // namespace parlowvista
