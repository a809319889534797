#pragma once

#include "Models/ProcessingState.h"

#include <QString>

namespace parlowvista {

// The two views of the processing state every processing screen shows. Model loading fills
// the first 30 % of the bar; each stage then stands at 0.3 + 0.7 x its share, and moves
// towards the next stage's share as `withinStage` (0...1) grows.
double progressFor(const ProcessingState& state, double withinStage = 0);
// "Ready to transcribe", "Loading AI models...", the stage's own text, "Error: " + message...
QString statusMessageFor(const ProcessingState& state);

}  // namespace parlowvista
