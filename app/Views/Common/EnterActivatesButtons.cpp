#include "Views/Common/EnterActivatesButtons.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QKeyEvent>
#include <QRadioButton>

namespace parlowvista {

EnterActivatesButtons::EnterActivatesButtons(QObject* parent) : QObject(parent) {}

bool EnterActivatesButtons::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
  if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) return false;
  auto* button = qobject_cast<QAbstractButton*>(watched);
  // Only the button the key was sent to (a key a child ignored reaches its parents too).
  if (!button || !button->hasFocus() || !button->isEnabled()) return false;
  if (qobject_cast<QCheckBox*>(button) || qobject_cast<QRadioButton*>(button)) return false;
  // A held key presses once, as a held Space does.
  if (!key->isAutoRepeat()) button->click();
  return true;
}

}  // namespace parlowvista
