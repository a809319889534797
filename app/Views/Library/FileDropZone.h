#pragma once

#include "Views/Library/AudioFileTypes.h"
#include "Views/Library/LibraryPrompts.h"

#include <QWidget>

class QLabel;
class QMimeData;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace parlowvista {

// The start screen of an empty workspace: drop one audio file, choose one with "Choose
// File...", or open "From URL" and submit an online-video address. A file is handed on at its
// own path (no copy); an address only when it is an http or https address with a host.
// A drag of files lights the zone only when it holds a file that will be taken; the files of a
// drop that are not taken are named with why. Disabled zones refuse drops and disable both
// buttons.
class FileDropZone : public QWidget {
  Q_OBJECT
 public:
  FileDropZone(bool enabled, bool youTubeAvailable, LibraryPrompts prompts = LibraryPrompts::standard(),
               QWidget* parent = nullptr);

  // The trimmed text when it is an http(s) address with a host, else empty.
  static QString acceptedAddress(const QString& text);

  void chooseFile();
  void toggleURLInput();
  void submitURL();
  // Takes the first local audio file of a drop (false when there is none) and names every
  // other file of it with why it is not taken (filesRefused).
  bool acceptDrop(const QMimeData* data);

  bool isTargeted() const { return m_targeted; }
  bool isURLInputShown() const;
  QPushButton* chooseButton() const { return m_choose; }
  QPushButton* fromURLButton() const { return m_fromURL; }
  QLineEdit* urlField() const { return m_urlField; }
  QToolButton* submitButton() const { return m_submit; }
  // "Supported formats: ...": what the loader takes.
  QLabel* formatsLabel() const { return m_formats; }
  // The line under the address field; without the downloader, its install command beside it.
  QLabel* hintLabel() const { return m_hint; }
  QLabel* installCommandLabel() const { return m_installCommand; }

 signals:
  void fileDropped(const QUrl& file);
  // Files of a drop that are not taken, each with why.
  void filesRefused(const QList<parlowvista::RefusedFile>& files);
  void youTubeURLSubmitted(const QString& address);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void updateColors();
  void updateSubmitButton();
  void setTargeted(bool targeted);

  bool m_enabled;
  bool m_youTubeAvailable;
  LibraryPrompts m_prompts;
  bool m_targeted = false;
  QLabel* m_logo;
  QLabel* m_formats;
  QPushButton* m_choose;
  QLabel* m_or;
  QPushButton* m_fromURL;
  QWidget* m_urlSection;
  QLineEdit* m_urlField;
  QToolButton* m_submit;
  QLabel* m_hint = nullptr;
  QLabel* m_installCommand = nullptr;
  QLabel* m_error;
};

}  // namespace parlowvista
