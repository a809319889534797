#pragma once

#include "Models/SupportedLanguage.h"
#include "Models/Transcription.h"

#include <QDialog>
#include <QPointer>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace parlowvista {

class ThemedLabel;
class TranscriptionViewModel;

// The small modal sheet in which the user picks the target language of a new
// translation of the transcription on screen and starts it. It offers only
// languages this transcription has not been translated into yet and hands the
// chosen code to its presenter, who runs the translation; the sheet waits,
// shows that it is busy and closes when the presenter reports the end.
//
// A presenter whose translation failed says so with setErrorMessage(): the sheet then leaves its
// busy state, shows the text in the error colour and stays open, so the user can read it and
// retry or cancel; the failed run's `finished` no longer closes it.
//
// It can always be left: Cancel, the close button and Escape stay usable while
// a translation runs, and leaving then asks the presenter to cancel it.
//
// Without a usable provider it says where one is set up (File > Translation Settings...) and
// offers a button that opens that window (the sheet closes).
class CreateTranslationSheet : public QDialog {
  Q_OBJECT
 public:
  // Runs the translation of `languageCode`; calls `finished` once it has
  // ended, whatever the outcome.
  using CreateTranslation = std::function<void(const QString& languageCode, std::function<void()> finished)>;
  // Stops the translation started through CreateTranslation.
  using CancelTranslation = std::function<void()>;

  // The sheet the main window shows for the view model's current version (null without one):
  // Translate runs the view model's translation, leaving during a run cancels it, a failure is
  // shown in the sheet, and the settings button calls `openTranslationSettings`. Deletes
  // itself when closed.
  static CreateTranslationSheet* forViewModel(TranscriptionViewModel& viewModel, bool isTranslationConfigured,
                                              std::function<void()> openTranslationSettings, QWidget* parent);

  CreateTranslationSheet(Transcription* transcription, QSet<QString> existingLanguages, bool isTranslationConfigured,
                         CreateTranslation onCreateTranslation, CancelTranslation onCancelTranslation = {},
                         QWidget* parent = nullptr);

  Transcription* transcription() const { return m_transcription; }
  // Supported languages not yet translated, in the list's order.
  const QList<SupportedLanguage>& availableLanguages() const { return m_availableLanguages; }
  const QString& selectedLanguage() const { return m_selectedLanguage; }
  bool isTranslating() const { return m_isTranslating; }
  double progress() const { return m_progress; }
  const QString& statusMessage() const { return m_statusMessage; }

  // A text shown in the error colour under the picker, e.g. a failure the presenter reports.
  // Set during a run, it ends the busy state (see above).
  void setErrorMessage(const std::optional<QString>& message);

  // What Translate (or Return) does.
  void startTranslation();
  // What "Open Translation Settings..." does before the sheet closes.
  void setOpenTranslationSettings(std::function<void()> open) { m_openTranslationSettings = std::move(open); }

  // "Polish (Polski)", or just the name for a language without a native name.
  static QString languageLabel(const SupportedLanguage& language);

 protected:
  void reject() override;
  void changeEvent(QEvent* event) override;

 private:
  void buildContent(QVBoxLayout* layout);
  void syncTranslatingState();
  void fitToContent();

  static constexpr int kWidth = 350;
  static constexpr int kHeight = 280;

  QPointer<Transcription> m_transcription;
  const QSet<QString> m_existingLanguages;
  const bool m_isTranslationConfigured;
  CreateTranslation m_onCreateTranslation;
  CancelTranslation m_onCancelTranslation;
  std::function<void()> m_openTranslationSettings;
  QList<SupportedLanguage> m_availableLanguages;

  QString m_selectedLanguage = QStringLiteral("en");
  bool m_isTranslating = false;
  double m_progress = 0;
  QString m_statusMessage;
  std::optional<QString> m_errorMessage;
  int m_run = 0;  // counts runs, so the end of an earlier one is told apart

  QToolButton* m_closeButton = nullptr;
  QComboBox* m_languagePicker = nullptr;
  QWidget* m_progressArea = nullptr;
  QProgressBar* m_progressBar = nullptr;
  QLabel* m_statusLabel = nullptr;
  ThemedLabel* m_errorLabel = nullptr;
  QPushButton* m_cancelButton = nullptr;
  QPushButton* m_translateButton = nullptr;
  QProgressBar* m_spinner = nullptr;
};

}  // namespace parlowvista
