#pragma once

#include "Views/Library/LibraryPrompts.h"

#include <QDialog>
#include <QPointer>

class QPushButton;

namespace parlowvista {

class AudioSource;

// "File Not Found": names the source and where its file used to be, and offers "Locate
// File...", "Skip" and "Delete Transcriptions". It accepts a chosen file only when its
// extension is one the loader reads (AudioFileTypes; any case), reports
// the user's choice by signal and never closes itself (Escape is "Skip").
class RelocateFileDialog : public QDialog {
  Q_OBJECT
 public:
  RelocateFileDialog(AudioSource* source, LibraryPrompts prompts, QWidget* parent = nullptr);

  // Runs the file pick as "Locate File..." does.
  void locateFile();
  static bool isAcceptedFile(const QUrl& url);

  QPushButton* locateButton() const { return m_locate; }
  QPushButton* skipButton() const { return m_skip; }
  QPushButton* deleteButton() const { return m_delete; }

  void reject() override;

 signals:
  void relocateRequested(const QUrl& file);
  void cancelRequested();
  void deleteRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  LibraryPrompts m_prompts;
  QPushButton* m_locate;
  QPushButton* m_skip;
  QPushButton* m_delete;
};

}  // namespace parlowvista
