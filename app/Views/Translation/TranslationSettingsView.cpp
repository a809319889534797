#include "Views/Translation/TranslationSettingsView.h"

#include "Models/SupportedLanguage.h"
#include "Services/KeychainService.h"
#include "Services/Translation/TranslationService.h"
#include "Services/Translation/TranslationSettings.h"
#include "Views/Common/ChipLabel.h"
#include "Views/Common/CloseKeys.h"
#include "Views/Common/Divider.h"
#include "Views/Common/Icons.h"
#include "Views/Common/SectionBox.h"
#include "Views/Common/SegmentedControl.h"
#include "Views/Common/SheetPlacement.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Translation/CreateTranslationSheet.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace parlowvista {

namespace {

struct ProviderFacts {
  const char* pickerLabel;
  const char* toolName;
  const char* installCommand;
  double inputPrice;
  double outputPrice;
  const char* keyPage;
};

ProviderFacts facts(TranslationProviderType provider) {
  switch (provider) {
    case TranslationProviderType::claude:
      return {"Claude", "claude", "npm i -g @anthropic-ai/claude-code",
              0.00025,  0.00125,  "https://console.anthropic.com/settings/keys"};
    case TranslationProviderType::gemini:
      return {"Gemini", "gemini", "pip install google-generativeai",
              0.000075, 0.0003,   "https://aistudio.google.com/app/apikey"};
    case TranslationProviderType::openai:
      return {"OpenAI", "openai", "pip install openai", 0.00015, 0.0006, "https://platform.openai.com/api-keys"};
  }
  return facts(TranslationProviderType::claude);
}

QString keyAccount(TranslationProviderType provider) {
  return KeychainService::apiKeyAccount(provider);
}

}  // namespace

TranslationSettingsView::TranslationSettingsView(TranslationSettings& settings, TranslationService& service,
                                                 QWidget* parent)
    : QWidget(parent),
      m_settings(settings),
      m_service(service),
      m_openUrl([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
  setWindowTitle(QStringLiteral("Translation Settings"));
  setMinimumSize(420, 400);
  setMaximumSize(500, 550);
  resize(450, 450);
  // The content scrolls: on a small screen the window may be smaller than its minimum.
  keepOnScreen(this);
  closeWithEscapeOrCtrlW(this);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  scroll->setFrameShape(QFrame::NoFrame);
  // The area scrolls to whichever control takes the focus; it is no stop of its own.
  scroll->setFocusPolicy(Qt::NoFocus);
  auto* content = new QWidget(scroll);
  auto* stack = new QVBoxLayout(content);
  stack->setSpacing(16);
  stack->addWidget(buildServiceBox());
  stack->addWidget(buildConnectionBox());
  stack->addWidget(buildOptionsBox());
  stack->addStretch();
  scroll->setWidget(content);
  outer->addWidget(scroll);

  refreshModelPicker();
  refreshConnection();
  refreshKeyButtons();
  Theme::followPalette(this, [this] { applyPalette(); });
}

void TranslationSettingsView::applyPalette() {
  Theme::applyReadableSelection(this);
  QPalette fieldPalette = m_keyField->palette();
  fieldPalette.setColor(QPalette::PlaceholderText, Theme::color(ThemeColor::secondaryText, palette(), QPalette::Base));
  m_keyField->setPalette(fieldPalette);
  refreshShowKeyButton();
  const QColor link = Theme::color(ThemeColor::link, palette());
  Theme::setTextColor(m_getKeyButton, link);
  m_getKeyButton->setIcon(Icons::icon(QStringLiteral("open-external"), link));
}

TranslationSettingsView::~TranslationSettingsView() {
  // The model field ends its editing as the window goes, after this part of it is gone.
  m_modelPicker->lineEdit()->disconnect(this);
}

QWidget* TranslationSettingsView::buildServiceBox() {
  auto* box = new SectionBox(QStringLiteral("Translation Service"), QStringLiteral("globe"), this);
  QVBoxLayout* rows = box->rows();

  auto* providerRow = new QHBoxLayout;
  QLabel* providerLabel = plainLabel(QStringLiteral("Provider"), box);
  QFont medium = providerLabel->font();
  medium.setWeight(QFont::Medium);
  providerLabel->setFont(medium);
  providerRow->addWidget(providerLabel);
  providerRow->addStretch();
  QStringList labels;
  for (TranslationProviderType type : allTranslationProviderTypes())
    labels << QString::fromLatin1(facts(type).pickerLabel);
  auto* providers = new SegmentedControl(labels, box);
  providers->setObjectName(QStringLiteral("providerPicker"));
  providers->setFixedWidth(240);
  m_providerGroup = providers->group();
  m_providerGroup->button(static_cast<int>(m_selectedProvider))->setChecked(true);
  connect(m_providerGroup, &QButtonGroup::idClicked, this, [this](int id) {
    const TranslationProviderType provider = allTranslationProviderTypes().at(id);
    if (provider == m_selectedProvider) return;
    m_selectedProvider = provider;
    providerChanged(provider);
  });
  providerRow->addWidget(providers);
  rows->addLayout(providerRow);

  rows->addWidget(new Divider(box));

  auto* modelRow = new QHBoxLayout;
  modelRow->addWidget(plainLabel(QStringLiteral("Model"), box));
  modelRow->addStretch();
  m_modelPicker = new QComboBox(box);
  m_modelPicker->setAccessibleName(QStringLiteral("Model"));
  m_modelPicker->setFixedWidth(180);
  // The listed names are suggestions; any other name may be typed.
  m_modelPicker->setEditable(true);
  m_modelPicker->setInsertPolicy(QComboBox::NoInsert);
  connect(m_modelPicker, &QComboBox::activated, this,
          [this](int index) { setSelectedModel(m_modelPicker->itemData(index).toString()); });
  connect(m_modelPicker->lineEdit(), &QLineEdit::editingFinished, this, [this] {
    const int listed = m_modelPicker->findText(m_modelPicker->currentText());
    setSelectedModel(listed >= 0 ? m_modelPicker->itemData(listed).toString() : m_modelPicker->currentText());
  });
  modelRow->addWidget(m_modelPicker);
  rows->addLayout(modelRow);

  auto* costRow = new QHBoxLayout;
  costRow->setSpacing(4);
  costRow->addWidget(ThemedLabel::icon(QStringLiteral("dollar"), ThemeColor::secondaryText, 14, box));
  m_costLabel = captionLabel(costHint(m_selectedProvider), box);
  m_costLabel->setObjectName(QStringLiteral("costHint"));
  costRow->addWidget(m_costLabel);
  costRow->addStretch();
  rows->addLayout(costRow);
  return box;
}

QWidget* TranslationSettingsView::buildConnectionBox() {
  m_connectionBox = new SectionBox(QStringLiteral("Connection"), QStringLiteral("terminal"), this);
  QVBoxLayout* rows = m_connectionBox->rows();
  QStringList labels;
  for (TranslationConnectionMode mode : allTranslationConnectionModes()) labels << rawValue(mode);
  auto* modes = new SegmentedControl(labels, m_connectionBox);
  modes->setObjectName(QStringLiteral("connectionModePicker"));
  m_modeGroup = modes->group();
  rows->addWidget(modes);
  connect(m_modeGroup, &QButtonGroup::idClicked, this, [this](int id) {
    const TranslationConnectionMode mode = allTranslationConnectionModes().at(id);
    if (mode == m_connectionMode) return;
    m_connectionMode = mode;
    m_settings.setConnectionMode(mode);
    refreshConnection();
  });
  m_connectionStack = new QStackedWidget(m_connectionBox);
  m_connectionStack->addWidget(buildApiKeySection());
  m_connectionStack->addWidget(buildCliSection());
  rows->addWidget(m_connectionStack);
  return m_connectionBox;
}

QWidget* TranslationSettingsView::buildApiKeySection() {
  auto* section = new QWidget(this);
  auto* rows = new QVBoxLayout(section);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(8);

  auto* keyRow = new QHBoxLayout;
  keyRow->setSpacing(8);
  m_keyField = new QLineEdit(section);
  m_keyField->setAccessibleName(QStringLiteral("API Key"));
  m_keyField->setPlaceholderText(QStringLiteral("Enter API Key"));
  m_keyField->setEchoMode(QLineEdit::Password);
  connect(m_keyField, &QLineEdit::textChanged, this, &TranslationSettingsView::refreshKeyButtons);
  keyRow->addWidget(m_keyField);
  m_showKeyButton = new QToolButton(section);
  m_showKeyButton->setObjectName(QStringLiteral("showKeyButton"));
  m_showKeyButton->setAutoRaise(true);
  m_showKeyButton->setFocusPolicy(Qt::StrongFocus);
  m_showKeyButton->setIconSize(QSize(18, 18));
  connect(m_showKeyButton, &QToolButton::clicked, this, [this] {
    m_showApiKey = !m_showApiKey;
    m_keyField->setEchoMode(m_showApiKey ? QLineEdit::Normal : QLineEdit::Password);
    refreshShowKeyButton();
  });
  keyRow->addWidget(m_showKeyButton);
  rows->addLayout(keyRow);

  auto* buttonRow = new QHBoxLayout;
  buttonRow->setSpacing(12);
  m_saveButton = new QPushButton(QStringLiteral("Save"), section);
  m_saveButton->setAutoDefault(false);
  connect(m_saveButton, &QPushButton::clicked, this, &TranslationSettingsView::saveApiKey);
  buttonRow->addWidget(m_saveButton);
  m_testButton = new QPushButton(QStringLiteral("Test"), section);
  m_testButton->setAutoDefault(false);
  connect(m_testButton, &QPushButton::clicked, this, &TranslationSettingsView::testConnection);
  buttonRow->addWidget(m_testButton);
  m_testSpinner = new QProgressBar(section);
  m_testSpinner->setAccessibleName(QStringLiteral("Testing connection"));
  m_testSpinner->setRange(0, 0);
  m_testSpinner->setTextVisible(false);
  m_testSpinner->setFixedSize(40, 8);
  m_testSpinner->hide();
  buttonRow->addWidget(m_testSpinner);
  m_badgeIcon = ThemedLabel::icon(QStringLiteral("check-circle"), ThemeColor::success, 14, section);
  m_badgeIcon->hide();
  buttonRow->addWidget(m_badgeIcon);
  m_badge = new ThemedLabel(QString(), ThemeColor::success, section);
  m_badge->setObjectName(QStringLiteral("testResultBadge"));
  setCaptionFont(m_badge);
  m_badge->hide();
  buttonRow->addWidget(m_badge);
  buttonRow->addStretch();
  // A real button, so the keyboard reaches it, drawn as a link.
  m_getKeyButton = new QToolButton(section);
  m_getKeyButton->setObjectName(QStringLiteral("getKeyLink"));
  m_getKeyButton->setText(QStringLiteral("Get Key"));
  m_getKeyButton->setToolTip(QStringLiteral("Open the provider's API key page in the browser"));
  m_getKeyButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  m_getKeyButton->setAutoRaise(true);
  m_getKeyButton->setFocusPolicy(Qt::StrongFocus);
  m_getKeyButton->setCursor(Qt::PointingHandCursor);
  setCaptionFont(m_getKeyButton);
  m_getKeyButton->setIconSize(QSize(12, 12));
  connect(m_getKeyButton, &QToolButton::clicked, this,
          [this] { m_openUrl(QUrl(QString::fromLatin1(facts(m_selectedProvider).keyPage))); });
  buttonRow->addWidget(m_getKeyButton);
  rows->addLayout(buttonRow);
  return section;
}

QWidget* TranslationSettingsView::buildCliSection() {
  auto* section = new QWidget(this);
  auto* rows = new QVBoxLayout(section);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(8);
  auto* statusRow = new QHBoxLayout;
  statusRow->setSpacing(6);
  m_cliStatusIcon = ThemedLabel::icon(QStringLiteral("x-circle"), ThemeColor::warning, 14, section);
  statusRow->addWidget(m_cliStatusIcon, 0, Qt::AlignTop);
  m_cliStatus = new ThemedLabel(QString(), ThemeColor::warning, section);
  m_cliStatus->setObjectName(QStringLiteral("cliStatus"));
  m_cliStatus->setWordWrap(true);
  setCaptionFont(m_cliStatus);
  statusRow->addWidget(m_cliStatus, 1);
  rows->addLayout(statusRow);

  m_installRow = new QWidget(section);
  auto* installLayout = new QHBoxLayout(m_installRow);
  installLayout->setContentsMargins(0, 0, 0, 0);
  installLayout->addWidget(captionLabel(QStringLiteral("Install:"), m_installRow));
  m_installCommand = new ChipLabel(QString(), m_installRow);
  m_installCommand->setObjectName(QStringLiteral("installCommand"));
  m_installCommand->setFont(monospacedCaptionFont(font()));
  installLayout->addWidget(m_installCommand);
  installLayout->addStretch();
  rows->addWidget(m_installRow);
  // The status sits at the top however tall the API-key page makes the section.
  rows->addStretch();
  return section;
}

QWidget* TranslationSettingsView::buildOptionsBox() {
  auto* box = new SectionBox(QStringLiteral("Options"), QStringLiteral("sliders"), this);
  QVBoxLayout* rows = box->rows();

  auto* languageRow = new QHBoxLayout;
  languageRow->addWidget(plainLabel(QStringLiteral("Target Language"), box));
  languageRow->addStretch();
  m_languagePicker = new QComboBox(box);
  m_languagePicker->setAccessibleName(QStringLiteral("Target Language"));
  m_languagePicker->setFixedWidth(180);
  for (const SupportedLanguage& language : SupportedLanguage::all())
    m_languagePicker->addItem(CreateTranslationSheet::languageLabel(language), language.code);
  m_languagePicker->setCurrentIndex(m_languagePicker->findData(m_defaultTargetLanguage));
  connect(m_languagePicker, &QComboBox::activated, this, [this](int index) {
    m_defaultTargetLanguage = m_languagePicker->itemData(index).toString();
    m_settings.setDefaultTargetLanguage(m_defaultTargetLanguage);
  });
  languageRow->addWidget(m_languagePicker);
  rows->addLayout(languageRow);

  rows->addWidget(new Divider(box));

  auto* batchRow = new QHBoxLayout;
  batchRow->addWidget(plainLabel(QStringLiteral("Batch Size"), box));
  batchRow->addStretch();
  m_batchStepper = new QSpinBox(box);
  m_batchStepper->setAccessibleName(QStringLiteral("Batch Size"));
  m_batchStepper->setRange(5, 50);
  m_batchStepper->setSingleStep(5);
  m_batchStepper->setSuffix(QStringLiteral(" segments"));
  m_batchStepper->setFixedWidth(150);
  m_batchStepper->setValue(m_batchSize);
  // Stepping only, like a stepper: typed values could leave the 5-step grid.
  m_batchStepper->findChild<QLineEdit*>()->setReadOnly(true);
  connect(m_batchStepper, &QSpinBox::valueChanged, this, [this](int value) {
    m_batchSize = value;
    m_settings.setBatchSize(value);
  });
  batchRow->addWidget(m_batchStepper);
  rows->addLayout(batchRow);

  m_formattingBox = new QCheckBox(QStringLiteral("Preserve Formatting"), box);
  m_formattingBox->setChecked(m_preserveFormatting);
  connect(m_formattingBox, &QCheckBox::toggled, this, [this](bool checked) {
    m_preserveFormatting = checked;
    m_settings.setPreserveFormatting(checked);
  });
  rows->addWidget(m_formattingBox, 0, Qt::AlignHCenter);
  return box;
}

void TranslationSettingsView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  loadFromSettings();
}

void TranslationSettingsView::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow() &&
      m_connectionMode == TranslationConnectionMode::cli) {
    refreshCliSection();
  }
}

void TranslationSettingsView::loadFromSettings() {
  const TranslationProviderType previousProvider = m_selectedProvider;
  const TranslationConnectionMode previousMode = m_connectionMode;
  const QString previousModel = m_selectedModel;
  const QString previousLanguage = m_defaultTargetLanguage;
  const bool previousFormatting = m_preserveFormatting;
  const int previousBatch = m_batchSize;

  m_selectedProvider = m_settings.selectedProvider();
  m_connectionMode = m_settings.connectionMode();
  m_selectedModel = m_settings.selectedModel();
  m_defaultTargetLanguage = m_settings.defaultTargetLanguage();
  m_preserveFormatting = m_settings.preserveFormatting();
  m_batchSize = m_settings.batchSize();
  {
    const QSignalBlocker b1(m_languagePicker), b2(m_batchStepper), b3(m_formattingBox);
    m_providerGroup->button(static_cast<int>(m_selectedProvider))->setChecked(true);
    m_modeGroup->button(static_cast<int>(m_connectionMode))->setChecked(true);
    m_languagePicker->setCurrentIndex(m_languagePicker->findData(m_defaultTargetLanguage));
    m_batchStepper->setValue(m_batchSize);
    m_formattingBox->setChecked(m_preserveFormatting);
  }
  loadApiKey();

  // What the load changed is written back like any other change, so opening
  // the window stores the model the settings hold.
  if (m_selectedProvider != previousProvider) providerChanged(m_selectedProvider);
  if (m_connectionMode != previousMode) m_settings.setConnectionMode(m_connectionMode);
  if (m_selectedModel != previousModel) m_settings.setSelectedModel(m_selectedModel);
  if (m_defaultTargetLanguage != previousLanguage) m_settings.setDefaultTargetLanguage(m_defaultTargetLanguage);
  if (m_preserveFormatting != previousFormatting) m_settings.setPreserveFormatting(m_preserveFormatting);
  if (m_batchSize != previousBatch) m_settings.setBatchSize(m_batchSize);

  m_costLabel->setText(costHint(m_selectedProvider));
  refreshModelPicker();
  refreshConnection();
}

void TranslationSettingsView::loadApiKey() {
  const std::optional<QString> key = m_settings.keychain().get(keyAccount(m_selectedProvider));
  m_hasStoredKey = key.has_value();
  m_keyField->setText(key.value_or(QString()));
  refreshKeyButtons();
}

void TranslationSettingsView::providerChanged(TranslationProviderType provider) {
  m_settings.setSelectedProvider(provider);
  loadApiKey();
  setTestResult(std::nullopt);
  m_selectedModel = m_settings.selectedModel();  // the settings correct another provider's model
  m_costLabel->setText(costHint(provider));
  refreshModelPicker();
  refreshConnection();
}

void TranslationSettingsView::setSelectedModel(const QString& model) {
  m_settings.setSelectedModel(model);
  m_selectedModel = m_settings.selectedModel();
  refreshModelPicker();
}

void TranslationSettingsView::refreshModelPicker() {
  const QSignalBlocker blocker(m_modelPicker);
  m_modelPicker->clear();
  for (const QString& model : availableModels(m_selectedProvider)) m_modelPicker->addItem(modelLabel(model), model);
  m_modelPicker->setCurrentIndex(m_modelPicker->findData(m_selectedModel));
  if (m_modelPicker->currentIndex() < 0) m_modelPicker->setEditText(m_selectedModel);
}

void TranslationSettingsView::refreshConnection() {
  const bool api = m_connectionMode == TranslationConnectionMode::api;
  m_connectionStack->setCurrentIndex(api ? 0 : 1);
  m_connectionBox->setIconName(api ? QStringLiteral("key") : QStringLiteral("terminal"));
  // Only the CLI section looks for the tool, and it looks afresh each time it is shown.
  if (!api) refreshCliSection();
}

void TranslationSettingsView::refreshCliSection() {
  const ProviderFacts f = facts(m_selectedProvider);
  const std::optional<QString> path = m_settings.detectCliPath(m_selectedProvider);
  const ThemeColor tone = path ? ThemeColor::success : ThemeColor::warning;
  m_cliStatus->setThemeColor(tone);
  m_cliStatusIcon->setThemeColor(tone);
  m_cliStatusIcon->setIconName(path ? QStringLiteral("check-circle") : QStringLiteral("x-circle"));
  if (path) {
    m_cliStatus->setText(QStringLiteral("Found: ") + *path);
    m_installRow->hide();
  } else {
    m_cliStatus->setText(QString::fromLatin1(f.toolName) + QStringLiteral(" not found"));
    m_installCommand->setText(QString::fromLatin1(f.installCommand));
    m_installRow->show();
  }
}

void TranslationSettingsView::refreshShowKeyButton() {
  const QString action = m_showApiKey ? QStringLiteral("Hide API Key") : QStringLiteral("Show API Key");
  m_showKeyButton->setIcon(
      Icons::icon(m_showApiKey ? QStringLiteral("eye-slash") : QStringLiteral("eye"), palette(), QPalette::ButtonText));
  m_showKeyButton->setToolTip(action);
  m_showKeyButton->setAccessibleName(action);
}

void TranslationSettingsView::refreshKeyButtons() {
  const bool empty = m_keyField->text().isEmpty();
  m_saveButton->setEnabled(!empty);
  m_testButton->setEnabled(!(empty && !m_hasStoredKey));
}

QString TranslationSettingsView::apiKeyInput() const {
  return m_keyField->text();
}

void TranslationSettingsView::saveApiKey() {
  const QString key = m_keyField->text();
  const bool stored =
      m_settings.keychain().setAPIKey(key.isEmpty() ? std::nullopt : std::optional<QString>(key), m_selectedProvider);
  m_hasStoredKey = m_settings.keychain().exists(keyAccount(m_selectedProvider));
  m_settings.announceChange();
  // The badge tells what really happened to the key.
  setTestResult(stored ? TestResult{true, QStringLiteral("Saved")} : TestResult{false, QStringLiteral("Failed")});
  refreshKeyButtons();
}

void TranslationSettingsView::testConnection() {
  ++m_testsRunning;
  m_testSpinner->show();
  setTestResult(std::nullopt);
  QPointer<TranslationSettingsView> self(this);
  m_service.checkAvailability([self](bool available) {
    if (!self) return;
    // The first test to end hides the indicator; the last one decides the badge.
    self->m_testsRunning = 0;
    self->m_testSpinner->hide();
    self->setTestResult(available ? TestResult{true, QStringLiteral("OK")}
                                  : TestResult{false, QStringLiteral("Failed")});
  });
}

void TranslationSettingsView::setTestResult(const std::optional<TestResult>& result) {
  m_testResult = result;
  m_badge->setVisible(result.has_value());
  m_badgeIcon->setVisible(result.has_value());
  if (!result) return;
  m_badge->setText(result->text);
  const ThemeColor tone = result->success ? ThemeColor::success : ThemeColor::error;
  m_badge->setThemeColor(tone);
  m_badgeIcon->setThemeColor(tone);
  m_badgeIcon->setIconName(result->success ? QStringLiteral("check-circle") : QStringLiteral("x-circle"));
}

QString TranslationSettingsView::costHint(TranslationProviderType provider) {
  const ProviderFacts f = facts(provider);
  const double cost = (f.inputPrice + f.outputPrice) * 10.4;
  return QStringLiteral("\u2248 $") + QString::asprintf("%.2f", cost) + QStringLiteral(" per hour of audio");
}

QString TranslationSettingsView::modelLabel(const QString& model) {
  QString label = model;
  label.remove(QStringLiteral("claude-"));
  label.remove(QStringLiteral("gemini-"));
  label.remove(QStringLiteral("gpt-"));
  return label;
}

QString TranslationSettingsView::installCommand(TranslationProviderType provider) {
  return QString::fromLatin1(facts(provider).installCommand);
}

}  // namespace parlowvista
