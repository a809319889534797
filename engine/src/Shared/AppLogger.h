#pragma once

// The logger is part of the engine's public interface; engine sources may
// include it by either path.
#include <voxtrellis/AppLogger.h>
