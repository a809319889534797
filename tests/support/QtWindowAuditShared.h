#pragma once

// What the window audit's checks share: how a widget is named in a finding, and what of it the
// window shows.

#include <QRect>
#include <QString>

class QLabel;
class QWidget;

namespace testsupport::audit {

// "QLabel #name 'its text'": the class, the object name and what the widget says.
QString describe(const QWidget* widget);

// The part of `widget` its ancestors do not clip away (scrolled out of a scroll area, say), in
// the widget's own coordinates. With `scrolling`, a scroll area's viewport does not clip what it
// can scroll to.
QRect unclippedRect(const QWidget* widget, const QWidget* window, bool scrolling = false);

// Where a label draws its text whole, placed by its alignment (label coordinates): larger than
// the label when the text does not fit it.
QRect labelTextRect(const QLabel* label);

// Posted layouts and repaints are done.
void settle();

}  // namespace testsupport::audit
