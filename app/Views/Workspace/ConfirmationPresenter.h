#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace parlowvista {

// How a view asks the user to confirm a destructive step. The real presenter shows a
// window-modal message box without blocking (it answers later, through `answer`); tests
// install their own and answer at once.
struct ConfirmationRequest {
  QString title;
  QString message;
  QString confirmLabel;  // the destructive button, e.g. "Delete"
};

using ConfirmationPresenter =
    std::function<void(QWidget* parent, const ConfirmationRequest& request, std::function<void(bool)> answer)>;

// The message-box presenter: "Cancel" (the escape button) and the destructive button.
ConfirmationPresenter messageBoxConfirmation();

}  // namespace parlowvista
