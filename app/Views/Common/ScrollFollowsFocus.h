#pragma once

class QScrollArea;
class QWidget;

namespace parlowvista {

// Qt's scroll area brings a control into view when the focus moves between controls inside it,
// but not when the focus enters from outside (Tab coming round from a footer button, Shift+Tab
// from a button after the area). After this call every control inside `area`'s content that
// takes the focus, however, is scrolled into view `margin` pixels clear of the edges, so the
// keyboard never works on a control out of sight (the whole control: a list, not only its current
// row). The connection lives as long as `area`.
void scrollFollowsFocus(QScrollArea* area, int margin = 16);

// A frameless area in `parent` for a sheet's column of controls, which scrolls up and down on a
// small screen: the content follows the area's width, Tab goes to the controls inside (the area
// is no stop of its own) and the focused one is scrolled into view.
QScrollArea* makeScrollingColumn(QWidget* parent);

}  // namespace parlowvista
