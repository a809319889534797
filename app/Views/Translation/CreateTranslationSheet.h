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

// The small modal sheet in which the user picks the target language of a new
// translation of the transcription on screen and starts it. It offers only
// languages this transcription has not been translated into yet and hands the
// chosen code to its presenter, who runs the translation; the sheet waits,
// shows that it is busy and closes when the presenter reports the end.
//
// It can always be left: Cancel, the close button and Escape stay usable while
// a translation runs, and leaving then asks the presenter to cancel it.
class CreateTranslationSheet : public QDialog {
  Q_OBJECT
 public:
  // Runs the translation of `languageCode`; calls `finished` once it has
  // ended, whatever the outcome.
  using CreateTranslation = std::function<void(const QString& languageCode, std::function<void()> finished)>;
  // Stops the translation started through CreateTranslation.
  using CancelTranslation = std::function<void()>;

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

  // A text shown in red under the picker, e.g. a failure the presenter reports.
  void setErrorMessage(const std::optional<QString>& message);

  // What Translate (or Return) does.
  void startTranslation();

  // "Polish (Polski)", or just the name for a language without a native name.
  static QString languageLabel(const SupportedLanguage& language);

 protected:
  void reject() override;

 private:
  void buildContent(QVBoxLayout* layout);
  void syncTranslatingState();

  QPointer<Transcription> m_transcription;
  const QSet<QString> m_existingLanguages;
  const bool m_isTranslationConfigured;
  CreateTranslation m_onCreateTranslation;
  CancelTranslation m_onCancelTranslation;
  QList<SupportedLanguage> m_availableLanguages;

  QString m_selectedLanguage = QStringLiteral("en");
  bool m_isTranslating = false;
  double m_progress = 0;
  QString m_statusMessage;
  std::optional<QString> m_errorMessage;

  QToolButton* m_closeButton = nullptr;
  QComboBox* m_languagePicker = nullptr;
  QWidget* m_progressArea = nullptr;
  QProgressBar* m_progressBar = nullptr;
  QLabel* m_statusLabel = nullptr;
  QLabel* m_errorLabel = nullptr;
  QPushButton* m_cancelButton = nullptr;
  QPushButton* m_translateButton = nullptr;
  QProgressBar* m_spinner = nullptr;
};

}  // namespace parlowvista
