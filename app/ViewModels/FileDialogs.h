#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace parlowvista {

// The save and folder panels of the export commands. Both are shown without blocking the
// window and answer later on the UI thread: with the chosen path, or not at all when the
// user cancels.
class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  // A save panel for a file of `extension`, suggesting `suggestedName`; folders can be made.
  virtual void chooseSaveFile(const QString& suggestedName, const QString& extension,
                              std::function<void(const QString& path)> chosen) = 0;
  // A folder panel showing `message`; folders can be made.
  virtual void chooseFolder(const QString& message, std::function<void(const QString& path)> chosen) = 0;
};

// The platform's dialogs (QFileDialog, opened window-modal, never exec()).
class QtFileDialogs final : public FileDialogs {
 public:
  // Dialogs are parented to the window `parent()` returns when they open (may be null).
  explicit QtFileDialogs(std::function<QWidget*()> parent = {});
  void chooseSaveFile(const QString& suggestedName, const QString& extension,
                      std::function<void(const QString& path)> chosen) override;
  void chooseFolder(const QString& message, std::function<void(const QString& path)> chosen) override;

 private:
  std::function<QWidget*()> m_parent;
};

}  // namespace parlowvista
