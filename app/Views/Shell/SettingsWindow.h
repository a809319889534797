#pragma once

#include <QWidget>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;
class QTabWidget;

namespace parlowvista {

class AppSettings;

// The settings window: "General" (where the library is, the autosave period, reset to
// defaults) and "Transcription" (the stored transcription defaults). No Save button: every
// control writes its setting as it changes, and follows the settings when they change
// elsewhere.
class SettingsWindow : public QWidget {
  Q_OBJECT

 public:
  // `openFolder` shows a folder in the file manager (so tests need not start one).
  explicit SettingsWindow(AppSettings& settings, std::function<void(const QString& folder)> openFolder = {},
                          QWidget* parent = nullptr);

  QTabWidget* tabs() const { return m_tabs; }

 private:
  QWidget* buildGeneral();
  QWidget* buildTranscription();
  void refresh();

  AppSettings& m_settings;
  std::function<void(const QString&)> m_openFolder;
  QTabWidget* m_tabs = nullptr;
  QLabel* m_location = nullptr;
  QComboBox* m_interval = nullptr;
  QComboBox* m_preset = nullptr;
  QWidget* m_thresholdRow = nullptr;
  QSlider* m_threshold = nullptr;
  QLabel* m_thresholdValue = nullptr;
  QLineEdit* m_maxChars = nullptr;
  QLineEdit* m_maxDuration = nullptr;
};

}  // namespace parlowvista
