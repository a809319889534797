#include "ViewModels/FileDialogs.h"

#include <QFileDialog>
#include <QWidget>

namespace parlowvista {

QtFileDialogs::QtFileDialogs(std::function<QWidget*()> parent) : m_parent(std::move(parent)) {}

void QtFileDialogs::chooseSaveFile(const QString& suggestedName, const QString& extension,
                                   std::function<void(const QString& path)> chosen) {
  auto* dialog = new QFileDialog(m_parent ? m_parent() : nullptr);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setNameFilter(QString("*.%1").arg(extension));
  dialog->setDefaultSuffix(extension);
  dialog->selectFile(suggestedName);
  QObject::connect(dialog, &QFileDialog::fileSelected, dialog, [chosen](const QString& path) {
    if (!path.isEmpty()) chosen(path);
  });
  dialog->open();
}

void QtFileDialogs::chooseFolder(const QString& message, std::function<void(const QString& path)> chosen) {
  auto* dialog = new QFileDialog(m_parent ? m_parent() : nullptr, message);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setFileMode(QFileDialog::Directory);
  dialog->setOption(QFileDialog::ShowDirsOnly);
  dialog->setLabelText(QFileDialog::Accept, "Choose");
  QObject::connect(dialog, &QFileDialog::fileSelected, dialog, [chosen](const QString& path) {
    if (!path.isEmpty()) chosen(path);
  });
  dialog->open();
}

}  // namespace parlowvista
