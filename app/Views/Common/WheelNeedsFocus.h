#pragma once

class QScrollArea;

namespace parlowvista {

// In a panel that scrolls, a turn of the mouse wheel over a slider, spin box or combo box
// scrolls the panel unless that control has the keyboard focus: scrolling past a setting must
// never change it. After this call the controls then inside `area`'s content no longer take the
// focus from the wheel either (click or Tab to them first). Lives as long as `area`.
void wheelNeedsFocus(QScrollArea* area);

}  // namespace parlowvista
