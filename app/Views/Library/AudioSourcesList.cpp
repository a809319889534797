#include "Views/Library/AudioSourcesList.h"

#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Services/LibraryActions.h"
#include "Store/ModelContext.h"
#include "Views/Library/AudioFileImportQueue.h"
#include "Views/Library/AudioFileTypes.h"
#include "Views/Library/AudioSourceRow.h"
#include "Views/Library/LibraryIcons.h"
#include "Views/Library/LibrarySelection.h"
#include "Views/Library/LibraryStyle.h"

#include <QDragEnterEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace parlowvista {

namespace {
enum Page { kNoGroupPage, kEmptyPage, kListPage };

QLabel* plainLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(true);
  return label;
}
}  // namespace

AudioSourcesList::AudioSourcesList(ModelContext& context, LibraryActions& actions, LibrarySelection& selection,
                                   FileAccessManager& fileAccess, AudioFileImportQueue& importQueue,
                                   LibraryPrompts prompts, QWidget* parent)
    : QWidget(parent),
      m_actions(actions),
      m_selection(selection),
      m_fileAccess(fileAccess),
      m_importQueue(importQueue),
      m_prompts(std::move(prompts)),
      m_title(new QLabel(this)),
      m_count(new QLabel(this)),
      m_pages(new QStackedWidget(this)),
      m_rowsHost(new QWidget),
      m_rowsLayout(new QVBoxLayout(m_rowsHost)),
      m_dropOverlay(new QLabel(QStringLiteral("Drop to add"), this)) {
  setMinimumWidth(220);
  setAcceptDrops(true);
  setAccessibleName(QStringLiteral("Audio files"));
  m_title->setTextFormat(Qt::PlainText);
  QFont titleFont = m_title->font();
  titleFont.setBold(true);
  m_title->setFont(titleFont);
  m_count->setTextFormat(Qt::PlainText);
  auto* header = new QHBoxLayout;
  header->setContentsMargins(12, 8, 12, 8);
  header->addWidget(m_title, 1);
  header->addWidget(m_count);
  auto* divider = new QFrame(this);
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Plain);

  auto* noGroup = new QWidget;
  auto* noGroupLayout = new QVBoxLayout(noGroup);
  noGroupLayout->addStretch();
  auto* noGroupTitle = plainLabel(QStringLiteral("No Group Selected"), noGroup);
  noGroupTitle->setFont(titleFont);
  noGroupLayout->addWidget(noGroupTitle);
  noGroupLayout->addWidget(plainLabel(QStringLiteral("Select a group from the sidebar"), noGroup));
  noGroupLayout->addStretch();

  m_rowsLayout->setContentsMargins(0, 0, 0, 0);
  m_rowsLayout->setSpacing(0);
  m_rowsLayout->addStretch();
  auto* scroll = new QScrollArea;
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidget(m_rowsHost);

  m_pages->addWidget(noGroup);
  m_pages->addWidget(makeEmptyPage());
  m_pages->addWidget(scroll);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addLayout(header);
  layout->addWidget(divider);
  layout->addWidget(m_pages, 1);

  m_dropOverlay->setAlignment(Qt::AlignCenter);
  m_dropOverlay->setAttribute(Qt::WA_TransparentForMouseEvents);
  m_dropOverlay->setAutoFillBackground(true);
  QPalette overlay = m_dropOverlay->palette();
  overlay.setColor(QPalette::Window, palette().color(QPalette::Highlight));
  overlay.setColor(QPalette::WindowText, palette().color(QPalette::HighlightedText));
  m_dropOverlay->setPalette(overlay);
  m_dropOverlay->setFont(titleFont);
  m_dropOverlay->hide();

  connect(&m_selection, &LibrarySelection::groupChanged, this, &AudioSourcesList::onGroupChanged);
  connect(&m_selection, &LibrarySelection::audioSourceChanged, this, &AudioSourcesList::updateRowSelection);
  connect(&m_selection, &LibrarySelection::transcriptionChanged, this, &AudioSourcesList::updateRowSelection);
  connect(&context, &ModelContext::objectsChanged, this, &AudioSourcesList::syncRows);
  m_group = m_selection.group();
  syncRows();
}

QWidget* AudioSourcesList::makeEmptyPage() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->setSpacing(20);
  layout->addStretch();
  auto* icon = new QLabel(page);
  icon->setAlignment(Qt::AlignCenter);
  icon->setPixmap(LibraryIcons::pixmap(QStringLiteral("waveform-add"), palette().color(QPalette::Highlight), 40,
                                       devicePixelRatioF()));
  layout->addWidget(icon);
  auto* title = plainLabel(QStringLiteral("No Audio Files"), page);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  layout->addWidget(title);
  layout->addWidget(plainLabel(QStringLiteral("Add audio files to transcribe"), page));
  m_addButton = new QPushButton(LibraryIcons::icon(QStringLiteral("plus"), palette().color(QPalette::ButtonText)),
                                QStringLiteral("Add Audio File"), page);
  m_addButton->setMinimumWidth(140);
  m_addButton->setAccessibleName(QStringLiteral("Add Audio File"));
  connect(m_addButton, &QPushButton::clicked, this, &AudioSourcesList::chooseFiles);
  layout->addWidget(m_addButton, 0, Qt::AlignHCenter);
  layout->addWidget(plainLabel(QStringLiteral("or drag and drop files here"), page));
  layout->addWidget(plainLabel(QStringLiteral("Ctrl+O to open"), page));
  layout->addStretch();
  return page;
}

QList<AudioSource*> AudioSourcesList::sourcesNewestFirst(const TranscriptGroup* group) {
  QList<AudioSource*> sources;
  if (!group || group->isDeleted()) return sources;
  for (AudioSource* source : group->audioSources()) {
    if (!source->isDeleted()) sources << source;
  }
  std::stable_sort(sources.begin(), sources.end(),
                   [](const AudioSource* a, const AudioSource* b) { return a->createdAt() > b->createdAt(); });
  return sources;
}

QList<AudioSourceRow*> AudioSourcesList::rows() const {
  QList<AudioSourceRow*> result;
  for (int i = 0; i < m_rowsLayout->count(); ++i) {
    if (auto* row = qobject_cast<AudioSourceRow*>(m_rowsLayout->itemAt(i)->widget())) result << row;
  }
  return result;
}

void AudioSourcesList::onGroupChanged() {
  if (m_group == m_selection.group()) return;
  m_group = m_selection.group();
  // Another group: its rows are new ones (each checks its file as it comes on screen).
  for (AudioSourceRow* row : std::as_const(m_rows)) row->deleteLater();
  m_rows.clear();
  syncRows();
}

void AudioSourcesList::syncRows() {
  if (m_group && m_group->isDeleted()) m_group = nullptr;
  const QList<AudioSource*> sources = sourcesNewestFirst(m_group);
  QHash<QUuid, AudioSourceRow*> keep;
  for (int i = 0; i < sources.size(); ++i) {
    AudioSource* source = sources[i];
    AudioSourceRow* row = m_rows.take(source->id());
    if (!row) {
      row = new AudioSourceRow(source, m_fileAccess, m_rowsHost);
      connect(row, &AudioSourceRow::selectRequested, this, [this, row] { selectSource(row->audioSource()); });
      connect(row, &AudioSourceRow::deleteRequested, this, [this, row] { requestDelete(row->audioSource()); });
      connect(row, &AudioSourceRow::chipClicked, this, [this, row](Transcription* transcription) {
        // A chip on another source's row selects that source first.
        m_selection.setAudioSource(row->audioSource());
        m_selection.setTranscription(transcription);
      });
      connect(row, &AudioSourceRow::showInFileManagerRequested, this, [this](const QUrl& file) {
        if (m_prompts.showInFileManager) m_prompts.showInFileManager(file);
      });
    }
    if (m_rowsLayout->indexOf(row) != i) {
      m_rowsLayout->removeWidget(row);
      m_rowsLayout->insertWidget(i, row);
    }
    keep.insert(source->id(), row);
  }
  for (AudioSourceRow* gone : std::as_const(m_rows)) {
    m_rowsLayout->removeWidget(gone);
    gone->deleteLater();
  }
  m_rows = keep;
  m_pages->setCurrentIndex(!m_group ? kNoGroupPage : sources.isEmpty() ? kEmptyPage : kListPage);
  updateHeader();
  updateRowSelection();
}

void AudioSourcesList::updateHeader() {
  m_title->setText(m_group ? m_group->name() : QStringLiteral("No Group"));
  m_count->setVisible(m_group);
  m_count->setText(QStringLiteral("%1 files").arg(m_rows.size()));
}

void AudioSourcesList::updateRowSelection() {
  for (AudioSourceRow* row : std::as_const(m_rows)) {
    row->setSelected(row->audioSource() == m_selection.audioSource());
    row->setSelectedTranscription(m_selection.transcription());
    row->setBackgroundRole(row->audioSource() == m_selection.audioSource() ? QPalette::AlternateBase : QPalette::Base);
    row->setAutoFillBackground(row->audioSource() == m_selection.audioSource());
  }
}

void AudioSourcesList::selectSource(AudioSource* source) {
  if (!source) return;
  m_selection.setAudioSource(source);
  const QList<Transcription*> versions = AudioSourceRow::versionsNewestFirst(source);
  m_selection.setTranscription(versions.isEmpty() ? nullptr : versions.first());
}

void AudioSourcesList::requestDelete(AudioSource* source) {
  if (!source || source->isDeleted()) return;
  const QString message = QStringLiteral("Delete \"%1\" and all its transcriptions?").arg(source->filename());
  if (!m_prompts.confirmDelete(this, QStringLiteral("Delete Audio?"), message)) return;
  if (m_selection.audioSource() == source) {
    AudioSource* next = nullptr;
    for (AudioSource* other : sourcesNewestFirst(m_group)) {
      if (other != source) {
        next = other;
        break;
      }
    }
    m_selection.setTranscription(nullptr);
    m_selection.setAudioSource(next);
  }
  m_actions.deleteAudioSource(source);
}

void AudioSourcesList::chooseFiles() {
  if (!m_prompts.chooseAudioFiles) return;
  const QList<QUrl> files = m_prompts.chooseAudioFiles(this, true);
  if (!files.isEmpty()) m_importQueue.enqueue(files);
}

bool AudioSourcesList::acceptDrop(const QMimeData* data) {
  if (!m_group || !AudioFileTypes::hasLocalFiles(data)) return false;
  const QList<QUrl> files = AudioFileTypes::audioFiles(data);
  if (!files.isEmpty()) m_importQueue.enqueue(files);
  return true;
}

void AudioSourcesList::setDragOver(bool over) {
  m_dragOver = over;
  m_dropOverlay->setGeometry(m_pages->geometry());
  m_dropOverlay->setVisible(over);
  m_dropOverlay->raise();
}

void AudioSourcesList::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  m_dropOverlay->setGeometry(m_pages->geometry());
}

void AudioSourcesList::dragEnterEvent(QDragEnterEvent* event) {
  if (m_group && AudioFileTypes::hasLocalFiles(event->mimeData())) {
    event->acceptProposedAction();
    setDragOver(true);
  } else {
    event->ignore();
  }
}

void AudioSourcesList::dragMoveEvent(QDragMoveEvent* event) {
  if (m_group && AudioFileTypes::hasLocalFiles(event->mimeData())) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void AudioSourcesList::dragLeaveEvent(QDragLeaveEvent* event) {
  setDragOver(false);
  QWidget::dragLeaveEvent(event);
}

void AudioSourcesList::dropEvent(QDropEvent* event) {
  setDragOver(false);
  if (acceptDrop(event->mimeData())) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

}  // namespace parlowvista
