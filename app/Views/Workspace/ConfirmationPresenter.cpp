#include "Views/Workspace/ConfirmationPresenter.h"

#include <QMessageBox>
#include <QPushButton>

namespace parlowvista {

ConfirmationPresenter messageBoxConfirmation() {
  return [](QWidget* parent, const ConfirmationRequest& request, std::function<void(bool)> answer) {
    auto* box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(request.title);
    box->setText(request.title);
    box->setInformativeText(request.message);
    box->setTextFormat(Qt::PlainText);
    QPushButton* cancel = box->addButton(QMessageBox::Cancel);
    QPushButton* confirm = box->addButton(request.confirmLabel, QMessageBox::DestructiveRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    QObject::connect(box, &QMessageBox::finished, box,
                     [box, confirm, answer] { answer(box->clickedButton() == confirm); });
    box->setWindowModality(Qt::WindowModal);
    box->open();
  };
}

}  // namespace parlowvista
