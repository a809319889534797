#pragma once

#include "Models/TranslationConnectionMode.h"
#include "Models/TranslationProviderType.h"

#include <QString>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <optional>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QStackedWidget;
class QToolButton;

namespace parlowvista {

class ChipLabel;
class SectionBox;
class ThemedLabel;

class TranslationService;
class TranslationSettings;

// The content of the "Translation Settings" window: provider, model, API or
// command-line connection (with key storage and a connection test, or the
// tool's status and install command), default target language, batch size and
// "Preserve Formatting", plus a cost hint. Every change is written to the
// settings at once; the controls are loaded again each time the view is shown.
class TranslationSettingsView : public QWidget {
  Q_OBJECT
 public:
  struct TestResult {
    bool success = false;
    QString text;  // "Saved", "OK" or "Failed"
    bool operator==(const TestResult&) const = default;
  };

  TranslationSettingsView(TranslationSettings& settings, TranslationService& service, QWidget* parent = nullptr);
  ~TranslationSettingsView() override;

  // Opens web addresses ("Get Key"); the desktop's browser unless replaced.
  void setUrlOpener(std::function<void(const QUrl&)> opener) { m_openUrl = std::move(opener); }

  TranslationProviderType selectedProvider() const { return m_selectedProvider; }
  TranslationConnectionMode connectionMode() const { return m_connectionMode; }
  const QString& selectedModel() const { return m_selectedModel; }
  const QString& defaultTargetLanguage() const { return m_defaultTargetLanguage; }
  bool preserveFormatting() const { return m_preserveFormatting; }
  int batchSize() const { return m_batchSize; }
  QString apiKeyInput() const;
  bool showApiKey() const { return m_showApiKey; }
  bool isTestingConnection() const { return m_testsRunning > 0; }
  const std::optional<TestResult>& testResult() const { return m_testResult; }

  // Copies the six settings into the controls and reloads the key field.
  void loadFromSettings();
  void loadApiKey();
  void testConnection();
  void saveApiKey();

  // "≈ $0.02 per hour of audio" for the provider.
  static QString costHint(TranslationProviderType provider);
  // A model name without its "claude-", "gemini-" or "gpt-" prefix.
  static QString modelLabel(const QString& model);
  static QString installCommand(TranslationProviderType provider);

 protected:
  void showEvent(QShowEvent* event) override;
  // Coming back to the window (after installing the tool in a terminal, say) looks for the
  // provider's tool again.
  void changeEvent(QEvent* event) override;

 private:
  QWidget* buildServiceBox();
  QWidget* buildConnectionBox();
  QWidget* buildOptionsBox();
  QWidget* buildApiKeySection();
  QWidget* buildCliSection();

  void providerChanged(TranslationProviderType provider);
  void setSelectedModel(const QString& model);
  void refreshModelPicker();
  void refreshCliSection();
  void refreshConnection();
  void refreshKeyButtons();
  void refreshShowKeyButton();
  // Colours and icons that follow the palette.
  void applyPalette();
  void setTestResult(const std::optional<TestResult>& result);

  TranslationSettings& m_settings;
  TranslationService& m_service;
  std::function<void(const QUrl&)> m_openUrl;

  TranslationProviderType m_selectedProvider = TranslationProviderType::claude;
  TranslationConnectionMode m_connectionMode = TranslationConnectionMode::cli;
  QString m_selectedModel;
  QString m_defaultTargetLanguage = QStringLiteral("en");
  bool m_preserveFormatting = true;
  int m_batchSize = 10;
  bool m_showApiKey = false;
  int m_testsRunning = 0;
  std::optional<TestResult> m_testResult;
  bool m_hasStoredKey = false;

  QButtonGroup* m_providerGroup = nullptr;
  QComboBox* m_modelPicker = nullptr;
  QLabel* m_costLabel = nullptr;
  QButtonGroup* m_modeGroup = nullptr;
  SectionBox* m_connectionBox = nullptr;
  QStackedWidget* m_connectionStack = nullptr;
  QLineEdit* m_keyField = nullptr;
  QToolButton* m_showKeyButton = nullptr;
  QPushButton* m_saveButton = nullptr;
  QPushButton* m_testButton = nullptr;
  QProgressBar* m_testSpinner = nullptr;
  ThemedLabel* m_badgeIcon = nullptr;
  ThemedLabel* m_badge = nullptr;
  QToolButton* m_getKeyButton = nullptr;
  ThemedLabel* m_cliStatusIcon = nullptr;
  ThemedLabel* m_cliStatus = nullptr;
  QWidget* m_installRow = nullptr;
  ChipLabel* m_installCommand = nullptr;
  QComboBox* m_languagePicker = nullptr;
  QSpinBox* m_batchStepper = nullptr;
  QCheckBox* m_formattingBox = nullptr;
};

}  // namespace parlowvista
