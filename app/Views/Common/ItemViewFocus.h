#pragma once

class QAbstractItemView;

namespace parlowvista {

// An item view shows its focus on its current row. One with no current row in view (an empty
// list, a log scrolled away from its first line) would show nothing when Tab lands on it: this
// draws the style's focus frame round its viewport instead. Call it from the view's paintEvent,
// after the view has painted.
void paintFocusWhereNoRowShowsIt(QAbstractItemView& view);

}  // namespace parlowvista
