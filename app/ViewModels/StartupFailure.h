#pragma once

#include "Models/ProcessingState.h"

#include <exception>

namespace parlowvista {

// What the error screen says when the speech models could not be had at start-up: a headline
// in plain words naming the model hub ("The speech models could not be downloaded from
// huggingface.co", "... are not on ..."), where to read on, and the engine's own text as the
// details. `description` is that text; `failure` is the exception it came from, which tells
// an unreachable hub from one that lacks the models (any other failure reads as models that
// could not be loaded). A file of a model folder that is missing or does not load is named
// in the plain line, with its folder, and what to do about it.
ErrorInfo modelStartupFailure(const std::exception_ptr& failure, const QString& description);

// The hub the engine asks, as a user would name it: host and, when not the default, port.
QString modelHubName();

}  // namespace parlowvista
