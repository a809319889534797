#include "Views/Library/LibraryPrompts.h"

#include "Views/Library/AudioFileTypes.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

namespace parlowvista {

LibraryPrompts LibraryPrompts::standard() {
  LibraryPrompts prompts;
  prompts.confirmDestructive = [](QWidget* parent, const QString& title, const QString& message,
                                  const QString& confirmLabel) {
    QMessageBox box(QMessageBox::Warning, title, message, QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    QPushButton* confirm = box.addButton(confirmLabel, QMessageBox::DestructiveRole);
    box.setDefaultButton(cancel);
    box.exec();
    return box.clickedButton() == confirm;
  };
  prompts.confirmDelete = [confirm = prompts.confirmDestructive](QWidget* parent, const QString& title,
                                                                 const QString& message) {
    return confirm(parent, title, message, QStringLiteral("Delete"));
  };
  prompts.chooseAudioFiles = [](QWidget* parent, bool multiple) {
    const QString filter = AudioFileTypes::dialogFilter();
    if (multiple) return QFileDialog::getOpenFileUrls(parent, QString(), QUrl(), filter);
    const QUrl url = QFileDialog::getOpenFileUrl(parent, QString(), QUrl(), filter);
    return url.isEmpty() ? QList<QUrl>{} : QList<QUrl>{url};
  };
  prompts.showInFileManager = [](const QUrl& file) {
    // The freedesktop file-manager interface selects the file; without it, open the folder.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{file.toString()} << QString();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
      QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(file.toLocalFile()).absolutePath()));
    }
  };
  return prompts;
}

}  // namespace parlowvista
