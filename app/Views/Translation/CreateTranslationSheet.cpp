#include "Views/Translation/CreateTranslationSheet.h"

#include "ViewModels/TranscriptionViewModel.h"

#include "Views/Common/Icons.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"

#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace parlowvista {

namespace {

// The centred column shown instead of the picker when nothing can be done.
QWidget* noticeColumn(const QString& icon, ThemeColor tone, const QString& title, const QString& detail,
                      QWidget* parent) {
  auto* column = new QWidget(parent);
  auto* layout = new QVBoxLayout(column);
  layout->setSpacing(12);
  layout->setContentsMargins(0, 20, 0, 20);
  auto* symbol = ThemedLabel::icon(icon, tone, 32, column);
  auto* titleLabel = headlineLabel(title, column);
  titleLabel->setObjectName(QStringLiteral("noticeTitle"));
  titleLabel->setAlignment(Qt::AlignCenter);
  auto* detailLabel = captionLabel(detail, column);
  detailLabel->setAlignment(Qt::AlignCenter);
  detailLabel->setWordWrap(true);
  layout->addWidget(symbol, 0, Qt::AlignHCenter);
  layout->addWidget(titleLabel);
  layout->addWidget(detailLabel);
  return column;
}

}  // namespace

CreateTranslationSheet::CreateTranslationSheet(Transcription* transcription, QSet<QString> existingLanguages,
                                               bool isTranslationConfigured, CreateTranslation onCreateTranslation,
                                               CancelTranslation onCancelTranslation, QWidget* parent)
    : QDialog(parent),
      m_transcription(transcription),
      m_existingLanguages(std::move(existingLanguages)),
      m_isTranslationConfigured(isTranslationConfigured),
      m_onCreateTranslation(std::move(onCreateTranslation)),
      m_onCancelTranslation(std::move(onCancelTranslation)) {
  for (const SupportedLanguage& language : SupportedLanguage::all())
    if (!m_existingLanguages.contains(language.code)) m_availableLanguages.append(language);
  if (!m_availableLanguages.isEmpty()) m_selectedLanguage = m_availableLanguages.first().code;

  setWindowTitle(QStringLiteral("Create Translation"));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  layout->setSpacing(20);
  layout->setContentsMargins(20, 20, 20, 20);

  auto* header = new QHBoxLayout;
  header->addWidget(headlineLabel(QStringLiteral("Create Translation"), this));
  header->addStretch();
  m_closeButton = new QToolButton(this);
  m_closeButton->setObjectName(QStringLiteral("closeButton"));
  m_closeButton->setAutoRaise(true);
  m_closeButton->setFocusPolicy(Qt::StrongFocus);
  m_closeButton->setIconSize(QSize(18, 18));
  m_closeButton->setToolTip(QStringLiteral("Close"));
  m_closeButton->setAccessibleName(QStringLiteral("Close"));
  connect(m_closeButton, &QToolButton::clicked, this, &CreateTranslationSheet::reject);
  header->addWidget(m_closeButton);
  layout->addLayout(header);

  buildContent(layout);
  layout->addStretch();

  auto* buttons = new QHBoxLayout;
  m_cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  m_cancelButton->setAutoDefault(false);
  connect(m_cancelButton, &QPushButton::clicked, this, &CreateTranslationSheet::reject);
  buttons->addWidget(m_cancelButton);
  buttons->addStretch();
  if (m_languagePicker) {
    m_translateButton = new QPushButton(QStringLiteral("Translate"), this);
    m_translateButton->setObjectName(QStringLiteral("translateButton"));
    m_translateButton->setAccessibleName(QStringLiteral("Translate"));
    m_translateButton->setDefault(true);
    // While a run is on, the button shows a small busy bar instead of its word.
    m_spinner = new QProgressBar(m_translateButton);
    m_spinner->setRange(0, 0);
    m_spinner->setTextVisible(false);
    m_spinner->setFixedSize(42, 8);
    m_spinner->setAccessibleName(QStringLiteral("Translating"));
    auto* spinnerLayout = new QHBoxLayout(m_translateButton);
    spinnerLayout->setContentsMargins(0, 0, 0, 0);
    spinnerLayout->addWidget(m_spinner, 0, Qt::AlignCenter);
    m_spinner->hide();
    connect(m_translateButton, &QPushButton::clicked, this, &CreateTranslationSheet::startTranslation);
    buttons->addWidget(m_translateButton);
    // The busy bar takes the word's place, not its room.
    m_translateButton->setMinimumSize(m_translateButton->sizeHint());
  }
  layout->addLayout(buttons);
  syncTranslatingState();

  // The keyboard starts on the choice to make; the close button comes last.
  if (m_languagePicker) {
    setTabOrder(m_languagePicker, m_cancelButton);
    setTabOrder(m_cancelButton, m_translateButton);
    setTabOrder(m_translateButton, m_closeButton);
    m_languagePicker->setFocus();
  } else {
    setTabOrder(m_cancelButton, m_closeButton);
    m_cancelButton->setFocus();
  }
  Theme::followPalette(this, [this] {
    Theme::applyReadableSelection(this);
    m_closeButton->setIcon(Icons::icon(QStringLiteral("x-circle"), Theme::color(ThemeColor::secondaryText, palette())));
  });
  fitToContent();
}

void CreateTranslationSheet::fitToContent() {
  // 350 x 280 at the usual font; wider or taller as a larger font or a long error needs, with
  // wrapped texts given the height they take at the sheet's width.
  QLayout* content = layout();
  content->activate();
  const int width = std::max({kWidth, content->totalMinimumSize().width(), isVisible() ? this->width() : 0});
  const int wrapped = content->hasHeightForWidth() ? content->totalHeightForWidth(width) : 0;
  const int height = std::max({kHeight, content->totalMinimumSize().height(), wrapped});
  const QSize wanted(width, height);
  setMinimumSize(wanted);
  // Before it is first shown the sheet has no size of its own yet.
  resize(isVisible() ? size().expandedTo(wanted) : wanted);
}

void CreateTranslationSheet::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) fitToContent();
}

void CreateTranslationSheet::buildContent(QVBoxLayout* layout) {
  if (!m_isTranslationConfigured) {
    QWidget* notice =
        noticeColumn(QStringLiteral("warning"), ThemeColor::warning, QStringLiteral("Translation Not Configured"),
                     QStringLiteral("Please configure a translation provider in File \u203A "
                                    "Translation Settings... before creating translations."),
                     this);
    auto* open = new QPushButton(QStringLiteral("Open Translation Settings..."), notice);
    open->setObjectName(QStringLiteral("openTranslationSettings"));
    open->setAutoDefault(false);
    connect(open, &QPushButton::clicked, this, [this] {
      if (m_openTranslationSettings) m_openTranslationSettings();
      reject();
    });
    notice->layout()->addWidget(open);
    notice->layout()->setAlignment(open, Qt::AlignHCenter);
    layout->addWidget(notice);
    return;
  }
  if (m_availableLanguages.isEmpty()) {
    layout->addWidget(noticeColumn(QStringLiteral("check-circle-outline"), ThemeColor::success,
                                   QStringLiteral("All Languages Translated"),
                                   QStringLiteral("This transcription has already been translated to all available "
                                                  "languages."),
                                   this));
    return;
  }
  auto* column = new QVBoxLayout;
  column->setSpacing(8);
  column->addWidget(captionLabel(QStringLiteral("Target Language"), this));
  m_languagePicker = new QComboBox(this);
  m_languagePicker->setAccessibleName(QStringLiteral("Language"));
  for (const SupportedLanguage& language : m_availableLanguages)
    m_languagePicker->addItem(languageLabel(language), language.code);
  m_languagePicker->setCurrentIndex(0);
  connect(m_languagePicker, &QComboBox::currentIndexChanged, this,
          [this](int index) { m_selectedLanguage = m_languagePicker->itemData(index).toString(); });
  column->addWidget(m_languagePicker);

  m_progressArea = new QWidget(this);
  auto* progressLayout = new QVBoxLayout(m_progressArea);
  progressLayout->setContentsMargins(0, 0, 0, 0);
  progressLayout->setSpacing(8);
  m_progressBar = new QProgressBar(m_progressArea);
  m_progressBar->setRange(0, 1000);
  m_progressBar->setTextVisible(false);
  m_progressBar->setAccessibleName(QStringLiteral("Translation progress"));
  m_statusLabel = captionLabel(QString(), m_progressArea);
  m_statusLabel->setAlignment(Qt::AlignCenter);
  progressLayout->addWidget(m_progressBar);
  progressLayout->addWidget(m_statusLabel);
  column->addWidget(m_progressArea);

  m_errorLabel = captionLabel(QString(), this);
  m_errorLabel->setObjectName(QStringLiteral("errorLabel"));
  m_errorLabel->setThemeColor(ThemeColor::error);
  m_errorLabel->setWordWrap(true);
  column->addWidget(m_errorLabel);
  layout->addLayout(column);
}

CreateTranslationSheet* CreateTranslationSheet::forViewModel(TranscriptionViewModel& viewModel,
                                                             bool isTranslationConfigured,
                                                             std::function<void()> openTranslationSettings,
                                                             QWidget* parent) {
  Transcription* version = viewModel.currentTranscription();
  if (!version) return nullptr;
  QPointer<TranscriptionViewModel> vm(&viewModel);
  auto sheetHandle = std::make_shared<QPointer<CreateTranslationSheet>>();
  auto* sheet = new CreateTranslationSheet(
      version, viewModel.existingTranslationLanguages(), isTranslationConfigured,
      [vm, sheetHandle](const QString& code, std::function<void()> finished) {
        if (!vm) return;
        // A failure stays in the sheet; any other end (done, cancelled) closes it.
        const auto report = [vm, sheetHandle, finished] {
          if (vm->translationError() && *sheetHandle) return (*sheetHandle)->setErrorMessage(vm->translationError());
          finished();
        };
        vm->createTranslation(code);
        if (!vm->isTranslating()) return report();
        auto connection = std::make_shared<QMetaObject::Connection>();
        *connection = connect(vm, &TranscriptionViewModel::isTranslatingChanged, vm, [vm, connection, report] {
          if (vm->isTranslating()) return;
          disconnect(*connection);
          report();
        });
      },
      [vm] {
        if (vm) vm->cancelTranslation();
      },
      parent);
  *sheetHandle = sheet;
  sheet->setOpenTranslationSettings(std::move(openTranslationSettings));
  // However it ends (accepted, rejected, closed), it goes.
  connect(sheet, &QDialog::finished, sheet, &QObject::deleteLater);
  return sheet;
}

QString CreateTranslationSheet::languageLabel(const SupportedLanguage& language) {
  if (!language.nativeName) return language.name;
  return language.name + QStringLiteral(" (") + *language.nativeName + QStringLiteral(")");
}

void CreateTranslationSheet::setErrorMessage(const std::optional<QString>& message) {
  m_errorMessage = message;
  // A failure ends the run as far as the sheet is concerned: the busy state goes, the error
  // shows, and Translate (to retry) and Cancel are there again.
  if (message && m_isTranslating) m_isTranslating = false;
  syncTranslatingState();
  fitToContent();
  if (message && m_languagePicker) m_languagePicker->setFocus();
}

void CreateTranslationSheet::startTranslation() {
  if (m_isTranslating || !m_languagePicker) return;
  m_isTranslating = true;
  m_errorMessage.reset();
  m_statusMessage = QStringLiteral("Preparing translation...");
  m_progress = 0;
  syncTranslatingState();

  QPointer<CreateTranslationSheet> self(this);
  const int run = ++m_run;
  // Only the end of the run still on screen closes the sheet: not one that failed, was left or
  // was followed by a retry.
  auto finished = [self, run] {
    if (!self || !self->m_isTranslating || self->m_run != run) return;
    self->m_isTranslating = false;
    self->accept();
  };
  if (m_onCreateTranslation) {
    m_onCreateTranslation(m_selectedLanguage, finished);
  } else {
    finished();
  }
}

void CreateTranslationSheet::reject() {
  if (m_isTranslating) {
    // Leaving while a translation runs stops it rather than leaving it behind.
    m_isTranslating = false;
    if (m_onCancelTranslation) m_onCancelTranslation();
  }
  QDialog::reject();
}

void CreateTranslationSheet::syncTranslatingState() {
  if (m_languagePicker) m_languagePicker->setEnabled(!m_isTranslating);
  if (m_progressArea) {
    m_progressArea->setVisible(m_isTranslating);
    m_progressBar->setValue(static_cast<int>(m_progress * 1000));
    m_statusLabel->setText(m_statusMessage);
  }
  if (m_errorLabel) {
    m_errorLabel->setVisible(m_errorMessage.has_value());
    m_errorLabel->setText(m_errorMessage.value_or(QString()));
  }
  if (m_translateButton) {
    m_translateButton->setEnabled(!m_isTranslating);
    m_translateButton->setText(m_isTranslating ? QString() : QStringLiteral("Translate"));
    m_spinner->setVisible(m_isTranslating);
  }
}

}  // namespace parlowvista
