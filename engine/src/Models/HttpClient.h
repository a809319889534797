#pragma once

// The HTTP client is part of the engine's public interface; engine sources may
// include it by either path.
#include <voxtrellis/HttpClient.h>
