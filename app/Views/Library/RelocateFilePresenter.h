#pragma once

#include "Views/Library/LibraryPrompts.h"

#include <QObject>
#include <QPointer>

class QWidget;

namespace parlowvista {

class FileAccessManager;
class LibraryActions;
class RelocateFileDialog;

// Shows the relocate-file sheet over `window` while the file-access manager asks for it,
// and carries out its answer: a chosen file is saved as the source's new place; "Skip" only
// closes; "Delete Transcriptions" asks first, then deletes the source through LibraryActions
// (saved, with the app's own files of the source removed). Every answer closes the sheet.
class RelocateFilePresenter : public QObject {
  Q_OBJECT
 public:
  RelocateFilePresenter(FileAccessManager& fileAccess, LibraryActions& actions, QWidget* window,
                        LibraryPrompts prompts = LibraryPrompts::standard(), QObject* parent = nullptr);

  RelocateFileDialog* dialog() const { return m_dialog; }

 private:
  void update();
  void finish();

  FileAccessManager& m_fileAccess;
  LibraryActions& m_actions;
  QPointer<QWidget> m_window;
  LibraryPrompts m_prompts;
  QPointer<RelocateFileDialog> m_dialog;
};

}  // namespace parlowvista
