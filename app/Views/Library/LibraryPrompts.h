#pragma once

#include <QList>
#include <QString>
#include <QUrl>
#include <functional>

class QWidget;

namespace parlowvista {

// The library browser's questions to the user, as replaceable functions so tests answer
// them without a modal loop. The defaults show Qt message boxes and file dialogs.
struct LibraryPrompts {
  // A destructive confirmation with "Cancel" and "Delete"; true for "Delete".
  std::function<bool(QWidget* parent, const QString& title, const QString& message)> confirmDelete;
  // The same question with its own destructive button (`confirmLabel`); "Cancel" is the default.
  std::function<bool(QWidget* parent, const QString& title, const QString& message, const QString& confirmLabel)>
      confirmDestructive;
  // Audio files to open (several when `multiple`); empty when cancelled.
  std::function<QList<QUrl>(QWidget* parent, bool multiple)> chooseAudioFiles;
  // Opens the file manager at the file.
  std::function<void(const QUrl& file)> showInFileManager;

  static LibraryPrompts standard();
};

}  // namespace parlowvista
