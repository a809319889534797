#pragma once

class QWidget;

namespace parlowvista {

// Puts a sheet (a dialog with a parent) in the middle of its parent's window. A window
// manager usually does this for transient dialogs; without one (a bare X server, a kiosk
// session) the dialog would open at the screen's corner, over whatever the window shows
// there. Call it after the sheet has its size, before or right after showing it.
void centreOverParentWindow(QWidget* sheet);

}  // namespace parlowvista
