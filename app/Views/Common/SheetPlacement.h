#pragma once

class QWidget;

namespace parlowvista {

// Puts a sheet (a dialog with a parent) in the middle of its parent's window. A window
// manager usually does this for transient dialogs; without one (a bare X server, a kiosk
// session) the dialog would open at the screen's corner, over whatever the window shows
// there. Call it after the sheet has its size, before or right after showing it. The sheet is
// then kept on its screen as `keepOnScreen` does, and over the middle of the window when the
// window moves or changes size (as a window manager places it only once it is shown).
void centreOverParentWindow(QWidget* sheet);

// Keeps `window` (a window, sheet or popup) inside the free area of the screen it opens on,
// from now on: whenever it is shown, and again once a window manager has framed it, its
// minimum size and its size are bounded by that area less the frame, and it is moved inside
// the area. Its own minimum size holds wherever there is room for it (a minimum set later
// counts as its own). What no longer fits must scroll or shrink inside it. At twice the scale
// a 1400 by 900 screen is 700 by 450, smaller than some windows' usual sizes. Owned by `window`.
void keepOnScreen(QWidget* window);

// A sheet at least `leastWidth` wide, and wider when its contents need it in the font they are
// shown in (a width fixed for one font would cut the text of a larger one). When the font
// changes while it is open, it takes the size its contents then need. Owned by `sheet`.
void growWithFont(QWidget* sheet, int leastWidth);

}  // namespace parlowvista
