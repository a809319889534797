#include "Views/Workspace/ConfirmationPresenter.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>

#include <algorithm>

namespace parlowvista {

namespace {

// A message box wraps its text into a column as narrow as its buttons and leaves its title to
// the window manager, which cuts it ("Delet...sion?"). A spacer as wide as the message on one
// line (within reason) and the title with room for the frame's buttons keeps both whole.
void fitToContent(QMessageBox* box, const ConfirmationRequest& request) {
  auto* grid = qobject_cast<QGridLayout*>(box->layout());
  if (!grid) return;
  const QFontMetrics metrics(box->font());
  const int message = metrics.horizontalAdvance(request.message) + 4 * metrics.height();
  const int title = metrics.horizontalAdvance(request.title) + 8 * metrics.height();
  const int width = std::min(std::max(message, title), 56 * metrics.averageCharWidth() + 4 * metrics.height());
  grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                grid->columnCount());
}

}  // namespace

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
    fitToContent(box, request);
    box->open();
  };
}

}  // namespace parlowvista
