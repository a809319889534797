#pragma once

class QWidget;

namespace parlowvista {

// Escape and Ctrl+W close `window` (a window of its own, not a dialog, which has Escape
// already), as they close the app's sheets. Ctrl+W whatever the desktop's key theme names as
// its "close" keys. Escape, as in a dialog, closes the window only when nothing in it took the
// key first: an open drop-down list or completer closes, a field ends its own edit, and the
// window stays until Escape is pressed again.
void closeWithEscapeOrCtrlW(QWidget* window);

}  // namespace parlowvista
