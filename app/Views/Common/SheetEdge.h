#pragma once

class QWidget;

namespace parlowvista {

// Draws a thin line in the palette's control-edge colour round `sheet`'s border, over whatever
// its controls paint there, and keeps it to the sheet's size and palette. A window manager frames
// a dialog; without one (a bare X server, a kiosk session) a sheet over its window would
// otherwise run into the window behind it. The line lives as long as `sheet`; it takes no
// input and no focus.
void drawEdgeAroundSheet(QWidget* sheet);

}  // namespace parlowvista
