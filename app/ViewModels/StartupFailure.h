#pragma once

#include "Models/ProcessingState.h"

#include <QList>

#include <exception>

namespace parlowvista {

// One failure of the start-up's models: the exception, and its full description (the engine's
// own text).
struct ModelFailure {
  std::exception_ptr exception;
  QString description;
};

// What the error screen says when the speech models could not be had at start-up: a headline
// in plain words naming the model hub ("The speech models could not be downloaded from
// huggingface.co", "... are not on ..."), where to read on, and the engine's texts as the
// details, one line each. The first failure's exception tells an unreachable hub from one that
// lacks the models (any other failure reads as models that could not be loaded). Every file of
// a model folder that is missing or does not load is named in the plain line, with its folder,
// and what to do about it. `failures` is not empty.
ErrorInfo modelStartupFailure(const QList<ModelFailure>& failures);

// The hub the engine asks, as a user would name it: host and, when not the default, port.
QString modelHubName();

}  // namespace parlowvista
