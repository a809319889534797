#include "Views/Shell/ProcessingScreens.h"

#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Common/Icons.h"
#include "Views/Common/ProgressValue.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Library/FileDropZone.h"
#include "Views/Shell/BusySpinner.h"
#include "Views/Workspace/AppLogo.h"

#include <QApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

#include <cmath>

namespace parlowvista {

namespace {

QLabel* centredLabel(const QString& text, QWidget* parent, int pointDelta = 0, bool bold = false) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(true);
  if (pointDelta != 0 || bold) {
    QFont font = label->font();
    font.setPointSize(font.pointSize() + pointDelta);
    font.setBold(bold);
    label->setFont(font);
  }
  return label;
}

// A caption or status line in the palette's secondary text colour, one point smaller.
QLabel* secondaryLabel(const QString& text, QWidget* parent, int pointDelta = -1) {
  auto* label = new ThemedLabel(text, ThemeColor::secondaryText, parent);
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(true);
  if (pointDelta != 0) {
    QFont font = label->font();
    font.setPointSize(font.pointSize() + pointDelta);
    label->setFont(font);
  }
  return label;
}

QVBoxLayout* centredColumn(QWidget* page, int spacing) {
  auto* layout = new QVBoxLayout(page);
  layout->setSpacing(spacing);
  layout->addStretch();
  return layout;
}

bool isTyping(const QWidget* focus) {
  return qobject_cast<const QLineEdit*>(focus) || qobject_cast<const QTextEdit*>(focus) ||
         qobject_cast<const QPlainTextEdit*>(focus);
}

QProgressBar* bar(QWidget* parent, int width, const QString& name) {
  auto* progress = new QProgressBar(parent);
  progress->setRange(0, 1000);
  progress->setTextVisible(false);
  progress->setFixedWidth(width);
  progress->setAccessibleName(name);
  return progress;
}

}  // namespace

ProcessingScreens::ProcessingScreens(TranscriptionViewModel& viewModel, LibraryPrompts prompts, QWidget* parent)
    : QStackedWidget(parent), m_viewModel(viewModel), m_prompts(std::move(prompts)) {
  addWidget(buildLoading());
  addWidget(buildNotice());
  addWidget(buildReady());
  addWidget(buildProcessing());
  m_workspacePage = new QWidget(this);
  addWidget(m_workspacePage);
  addWidget(buildError());
  setMinimumSize(400, 400);
  for (auto signal : {&TranscriptionViewModel::stateChanged, &TranscriptionViewModel::currentFileChanged,
                      &TranscriptionViewModel::downloadProgressChanged, &TranscriptionViewModel::downloadStatusChanged,
                      &TranscriptionViewModel::progressChanged}) {
    connect(&m_viewModel, signal, this, &ProcessingScreens::refresh);
  }
  connect(&m_viewModel, &TranscriptionViewModel::isYouTubeDownloaderAvailableChanged, this,
          &ProcessingScreens::rebuildDropZone);
  refresh();
}

void ProcessingScreens::setGroupSelected(bool selected) {
  m_groupSelected = selected;
  refresh();
}

void ProcessingScreens::setWorkspace(QWidget* workspace) {
  const int index = indexOf(m_workspacePage);
  removeWidget(m_workspacePage);
  m_workspacePage->deleteLater();
  m_workspacePage = workspace;
  insertWidget(index, workspace);
  refresh();
}

ProcessingScreens::Screen ProcessingScreens::screenFor(const ProcessingState& state, bool groupSelected) {
  switch (state.kind()) {
    case ProcessingState::Kind::idle:
    case ProcessingState::Kind::loadingModels: return Screen::loading;
    case ProcessingState::Kind::modelsReady: return groupSelected ? Screen::ready : Screen::noGroupSelected;
    case ProcessingState::Kind::processing: return Screen::processing;
    case ProcessingState::Kind::completed: return Screen::workspace;
    case ProcessingState::Kind::failed: return Screen::error;
  }
  return Screen::loading;
}

QColor ProcessingScreens::statusColor(const ProcessingState& state, bool warning) {
  const QColor orange(0xFF, 0x95, 0x00);
  switch (state.kind()) {
    case ProcessingState::Kind::loadingModels: return orange;
    case ProcessingState::Kind::processing: return QColor(0x00, 0x7A, 0xFF);
    case ProcessingState::Kind::completed:
      if (warning) return orange;
      [[fallthrough]];
    case ProcessingState::Kind::modelsReady: return QColor(0x34, 0xC7, 0x59);
    case ProcessingState::Kind::failed: return QColor(0xFF, 0x3B, 0x30);
    case ProcessingState::Kind::idle: break;
  }
  return QColor(0x8E, 0x8E, 0x93);
}

QString ProcessingScreens::downloadPercentText(double fraction) {
  return QString::number(static_cast<int>(std::floor(fraction * 100 + 1e-9))) + QStringLiteral("%");
}

QWidget* ProcessingScreens::buildLoading() {
  auto* page = new QWidget(this);
  auto* layout = centredColumn(page, 20);
  layout->addWidget(new AppLogo(100, page), 0, Qt::AlignHCenter);
  layout->addWidget(centredLabel(QStringLiteral("Parlowvista"), page, 12, true));
  auto* waiting = new QVBoxLayout();
  waiting->setSpacing(8);
  waiting->addWidget(new BusySpinner(24, page), 0, Qt::AlignHCenter);
  waiting->addWidget(secondaryLabel(QStringLiteral("Loading AI Models..."), page, 2));
  waiting->addWidget(secondaryLabel(QStringLiteral("This may take a few minutes on first launch"), page));
  layout->addLayout(waiting);
  m_loadingBar = bar(page, 200, QStringLiteral("Model loading progress"));
  layout->addWidget(m_loadingBar, 0, Qt::AlignHCenter);
  layout->addWidget(waitingNote(page));
  layout->addStretch();
  return page;
}

QLabel* ProcessingScreens::waitingNote(QWidget* page) {
  auto* note = centredLabel(QString(), page);
  note->setObjectName(QStringLiteral("waitingFiles"));
  note->hide();
  m_waitingNotes << note;
  return note;
}

QString ProcessingScreens::waitingText(const QStringList& names) {
  if (names.isEmpty()) return {};
  if (names.size() == 1)
    return QStringLiteral("%1 will be transcribed once the speech models are loaded.").arg(names[0]);
  return QStringLiteral("%1 files will be transcribed once the speech models are loaded.").arg(names.size());
}

void ProcessingScreens::setWaitingFiles(const QStringList& names) {
  for (QLabel* note : std::as_const(m_waitingNotes)) {
    note->setText(waitingText(names));
    note->setVisible(!names.isEmpty());
  }
}

QWidget* ProcessingScreens::buildNotice() {
  auto* page = new QWidget(this);
  auto* layout = centredColumn(page, 12);
  layout->addWidget(centredLabel(QStringLiteral("No Group Selected"), page, 4, true));
  layout->addWidget(centredLabel(QStringLiteral("Select or create a group to start transcribing"), page));
  layout->addStretch();
  return page;
}

QWidget* ProcessingScreens::buildReady() {
  m_readyPage = new QWidget(this);
  auto* layout = new QVBoxLayout(m_readyPage);
  layout->setContentsMargins(24, 24, 24, 24);
  rebuildDropZone();
  return m_readyPage;
}

void ProcessingScreens::rebuildDropZone() {
  // The zone takes whether the online-video tool exists when it is made; the check ends
  // after the window is up, so a changed answer makes a new zone.
  if (m_dropZone) {
    m_dropZone->hide();
    m_dropZone->deleteLater();
  }
  m_dropZone = new FileDropZone(true, m_viewModel.isYouTubeDownloaderAvailable(), m_prompts, m_readyPage);
  connect(m_dropZone, &FileDropZone::fileDropped, this, &ProcessingScreens::fileChosen);
  connect(m_dropZone, &FileDropZone::youTubeURLSubmitted, this, &ProcessingScreens::addressEntered);
  connect(m_dropZone, &FileDropZone::filesRefused, this, &ProcessingScreens::filesRefused);
  m_readyPage->layout()->addWidget(m_dropZone);
}

QWidget* ProcessingScreens::buildProcessing() {
  auto* page = new QWidget(this);
  auto* layout = centredColumn(page, 24);
  m_downloadSymbol = ThemedLabel::icon(QStringLiteral("arrow-down-circle"), ThemeColor::link, 48, page);
  m_downloadSymbol->setObjectName(QStringLiteral("downloadSymbol"));
  m_downloadSymbol->setAlignment(Qt::AlignCenter);
  layout->addWidget(m_downloadSymbol, 0, Qt::AlignHCenter);
  m_processingFile = centredLabel(QString(), page, 2, true);
  m_processingFile->setObjectName(QStringLiteral("processingFile"));
  layout->addWidget(m_processingFile);
  m_processingBar = bar(page, 300, QStringLiteral("Processing progress"));
  layout->addWidget(m_processingBar, 0, Qt::AlignHCenter);
  // The stage, behind a small spinner: the bar moves only between stages.
  m_stageRow = new QWidget(page);
  auto* row = new QHBoxLayout(m_stageRow);
  row->setContentsMargins(0, 0, 0, 0);
  row->addStretch();
  row->addWidget(new BusySpinner(16, m_stageRow));
  m_processingStage = secondaryLabel(QString(), m_stageRow, 0);
  m_processingStage->setObjectName(QStringLiteral("processingStage"));
  m_processingStage->setWordWrap(false);
  row->addWidget(m_processingStage);
  row->addStretch();
  layout->addWidget(m_stageRow);
  m_downloadStatus = secondaryLabel(QString(), page);
  m_downloadStatus->setObjectName(QStringLiteral("downloadStatus"));
  layout->addWidget(m_downloadStatus);
  m_downloadPercent = secondaryLabel(QString(), page);
  m_downloadPercent->setObjectName(QStringLiteral("downloadPercent"));
  QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  digits.setPointSize(m_downloadPercent->font().pointSize());
  m_downloadPercent->setFont(digits);
  layout->addWidget(m_downloadPercent);
  layout->addStretch();
  return page;
}

QWidget* ProcessingScreens::buildError() {
  auto* page = new QWidget(this);
  auto* layout = centredColumn(page, 16);
  auto* symbol = new QLabel(page);
  symbol->setAlignment(Qt::AlignCenter);
  Theme::followPalette(symbol, [symbol] {
    symbol->setPixmap(Icons::pixmap(QStringLiteral("warning-fill"), Theme::color(ThemeColor::error, symbol->palette()),
                                    48, symbol->devicePixelRatioF()));
  });
  layout->addWidget(symbol);
  m_errorMessage = centredLabel(QString(), page, 2, true);
  m_errorMessage->setObjectName(QStringLiteral("errorMessage"));
  layout->addWidget(m_errorMessage);
  m_errorNextStep = centredLabel(QString(), page);
  m_errorNextStep->setObjectName(QStringLiteral("errorNextStep"));
  layout->addWidget(m_errorNextStep);
  m_errorDetails = secondaryLabel(QString(), page);
  m_errorDetails->setObjectName(QStringLiteral("errorDetails"));
  layout->addWidget(m_errorDetails);
  m_retry = new QPushButton(QStringLiteral("Try Again"), page);
  m_retry->setDefault(true);
  connect(m_retry, &QPushButton::clicked, &m_viewModel, &TranscriptionViewModel::reset);
  layout->addWidget(m_retry, 0, Qt::AlignHCenter);
  layout->addWidget(waitingNote(page));
  layout->addStretch();
  return page;
}

void ProcessingScreens::refresh() {
  const ProcessingState& state = m_viewModel.state();
  const Screen previous = m_screen;
  m_screen = screenFor(state, m_groupSelected);

  const std::optional<double> loading = state.progress();
  m_loadingBar->setVisible(state.kind() == ProcessingState::Kind::loadingModels);
  setProgressValue(m_loadingBar, static_cast<int>(loading.value_or(0) * 1000));

  if (const std::optional<ProcessingStage> stage = state.stage()) {
    const bool download = *stage == ProcessingStage::downloadingFromURL;
    const QUrl file = m_viewModel.currentFile();
    m_processingFile->setText(download ? rawValue(*stage)
                                       : QStringLiteral("Processing: ") + QFileInfo(file.toLocalFile()).fileName());
    m_processingFile->setVisible(download || !file.isEmpty());
    const double fraction = download ? m_viewModel.downloadProgress() : m_viewModel.progress();
    setProgressValue(m_processingBar, static_cast<int>(fraction * 1000));
    m_processingStage->setText(rawValue(*stage));
    m_stageRow->setVisible(!download);
    m_downloadSymbol->setVisible(download);
    m_downloadStatus->setText(m_viewModel.downloadStatus());
    m_downloadStatus->setVisible(download);
    const double percent = m_viewModel.downloadProgress();
    m_downloadPercent->setText(downloadPercentText(percent));
    m_downloadPercent->setVisible(download && percent > 0);
  }

  if (const ErrorInfo* error = state.error()) {
    m_errorMessage->setText(error->message);
    m_errorNextStep->setText(error->nextStep.value_or(QString()));
    m_errorNextStep->setVisible(error->nextStep.has_value());
    // Details that only repeat the headline are not shown a second time.
    const bool details = error->details && error->details->trimmed() != error->message.trimmed();
    m_errorDetails->setText(details ? error->details->section(QLatin1Char('\n'), 0, 2) : QString());
    m_errorDetails->setVisible(details);
  }

  QWidget* pages[] = {widget(0), widget(1), widget(2), widget(3), m_workspacePage, widget(5)};
  setCurrentWidget(pages[static_cast<int>(m_screen)]);
  // The error screen's one action takes the keyboard, so that Return or Space tries again;
  // unless the user is typing somewhere (a group's name, say).
  if (m_screen == Screen::error && previous != Screen::error && !isTyping(QApplication::focusWidget())) {
    m_retry->setFocus(Qt::OtherFocusReason);
  }
}

}  // namespace parlowvista
