#pragma once

class QWidget;

namespace parlowvista {

// Escape and Ctrl+W close `window` (a window of its own, not a dialog, which has Escape
// already), as they close the app's sheets. Ctrl+W whatever the desktop's key theme names as
// its "close" keys.
void closeWithEscapeOrCtrlW(QWidget* window);

}  // namespace parlowvista
