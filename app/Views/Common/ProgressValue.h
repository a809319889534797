#pragma once

class QProgressBar;

namespace parlowvista {

// Sets `bar`'s value and leaves the painting to the event loop. QProgressBar paints at once
// when its value reaches either end or moves by a chunk, and such a paint draws every region
// of the window still waiting for one: inside a view model's change, that held the window up
// for each stage of every run.
void setProgressValue(QProgressBar* bar, int value);

}  // namespace parlowvista
