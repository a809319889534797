#include "Views/Library/AudioSourcesList.h"

#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Services/LibraryActions.h"
#include "Store/ModelContext.h"
#include "Views/Common/ColorContrast.h"
#include "Views/Common/Divider.h"
#include "Views/Common/Icons.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Library/AudioFileImportQueue.h"
#include "Views/Library/AudioFileTypes.h"
#include "Views/Library/AudioSourceRow.h"
#include "Views/Library/DropOutline.h"
#include "Views/Library/LibrarySelection.h"

#include <QDragEnterEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace parlowvista {

namespace {
enum Page { kNoGroupPage, kEmptyPage, kListPage };

template <typename Label>
Label* centred(Label* label) {
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(true);
  return label;
}

// The empty group's page: while files are dragged over it, the drop outline (corner radius 8).
class EmptyGroupPage : public QWidget {
 public:
  using QWidget::QWidget;
  void setHighlighted(bool highlighted) {
    m_highlighted = highlighted;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (!m_highlighted) return;
    QPainter painter(this);
    DropOutline::paint(painter, rect(), 8, palette(), true);
  }

 private:
  bool m_highlighted = false;
};
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
      m_title(headlineLabel(QString(), this)),
      m_count(captionLabel(QString(), this)),
      m_pages(new QStackedWidget(this)),
      m_rowsHost(new QWidget),
      m_rowsLayout(new QVBoxLayout(m_rowsHost)),
      m_dropOverlay(new QWidget(this)) {
  setMinimumWidth(220);
  setAcceptDrops(true);
  setAccessibleName(QStringLiteral("Audio files"));
  auto* header = new QHBoxLayout;
  header->setContentsMargins(12, 8, 12, 8);
  header->addWidget(m_title, 1);
  header->addWidget(m_count);
  auto* divider = new Divider(this);

  auto* noGroup = new QWidget;
  auto* noGroupLayout = new QVBoxLayout(noGroup);
  noGroupLayout->setSpacing(8);
  noGroupLayout->addStretch();
  noGroupLayout->addWidget(ThemedLabel::icon(QStringLiteral("folder"), ThemeColor::secondaryText, 40, noGroup), 0,
                           Qt::AlignHCenter);
  noGroupLayout->addWidget(centred(headlineLabel(QStringLiteral("No Group Selected"), noGroup)));
  noGroupLayout->addWidget(
      centred(new ThemedLabel(QStringLiteral("Select a group from the sidebar"), ThemeColor::secondaryText, noGroup)));
  noGroupLayout->addStretch();

  m_rowsLayout->setContentsMargins(0, 0, 0, 0);
  m_rowsLayout->setSpacing(0);
  m_rowsLayout->addStretch();
  auto* scroll = new QScrollArea;
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setFocusPolicy(Qt::NoFocus);  // the chips inside are the stops
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

  // Over the list while files are dragged onto it: an icon and "Drop to add" on the emphasis
  // colour.
  m_dropOverlay->setAttribute(Qt::WA_TransparentForMouseEvents);
  m_dropOverlay->setAutoFillBackground(true);
  auto* overlayLayout = new QVBoxLayout(m_dropOverlay);
  overlayLayout->setSpacing(12);
  overlayLayout->addStretch();
  m_dropIcon = new QLabel(m_dropOverlay);
  overlayLayout->addWidget(m_dropIcon, 0, Qt::AlignHCenter);
  overlayLayout->addWidget(centred(headlineLabel(QStringLiteral("Drop to add"), m_dropOverlay)));
  overlayLayout->addStretch();
  m_dropOverlay->hide();

  connect(&m_selection, &LibrarySelection::groupChanged, this, &AudioSourcesList::onGroupChanged);
  connect(&m_selection, &LibrarySelection::audioSourceChanged, this, &AudioSourcesList::updateRowSelection);
  connect(&m_selection, &LibrarySelection::transcriptionChanged, this, &AudioSourcesList::updateRowSelection);
  connect(&context, &ModelContext::objectsChanged, this, &AudioSourcesList::syncRows);
  m_group = m_selection.group();
  syncRows();
  Theme::followPalette(this, [this] { updateColors(); });
}

void AudioSourcesList::updateColors() {
  const QPalette& p = palette();
  const auto emphasis = Theme::emphasis(p, p.color(QPalette::Window));
  QPalette overlay;
  overlay.setColor(QPalette::Window, emphasis ? emphasis->fill : p.color(QPalette::WindowText));
  overlay.setColor(QPalette::WindowText, emphasis ? emphasis->text : p.color(QPalette::Window));
  m_dropOverlay->setPalette(overlay);
  m_dropIcon->setPixmap(
      Icons::pixmap(QStringLiteral("drop-doc"), overlay.color(QPalette::WindowText), 32, devicePixelRatioF()));
  // The empty state's badge: the accent icon on a faint accent disc.
  const qreal ratio = devicePixelRatioF();
  QPixmap badge(QSize(80, 80) * ratio);
  badge.setDevicePixelRatio(ratio);
  badge.fill(Qt::transparent);
  QPainter painter(&badge);
  painter.setRenderHint(QPainter::Antialiasing);
  QColor disc = DropOutline::accent(p);
  disc.setAlphaF(0.1f);
  painter.setPen(Qt::NoPen);
  painter.setBrush(disc);
  painter.drawEllipse(QRectF(0, 0, 80, 80));
  const QColor icon =
      withContrast(p.color(QPalette::Highlight), composited(disc, p.color(QPalette::Window)), Theme::largeContrast);
  painter.drawPixmap(QPointF(22, 22), Icons::pixmap(QStringLiteral("waveform-add"), icon, 36, ratio));
  painter.end();
  m_emptyBadge->setPixmap(badge);
  m_addButton->setIcon(Icons::icon(QStringLiteral("plus"), p));
}

QWidget* AudioSourcesList::makeEmptyPage() {
  auto* page = new EmptyGroupPage;
  m_emptyPage = page;
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->setSpacing(20);
  layout->addStretch();
  m_emptyBadge = new QLabel(page);
  layout->addWidget(m_emptyBadge, 0, Qt::AlignHCenter);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(8);
  texts->addWidget(centred(headlineLabel(QStringLiteral("No Audio Files"), page)));
  texts->addWidget(
      centred(new ThemedLabel(QStringLiteral("Add audio files to transcribe"), ThemeColor::secondaryText, page)));
  layout->addLayout(texts);
  m_addButton = new QPushButton(QStringLiteral("Add Audio File"), page);
  m_addButton->setMinimumWidth(140);
  m_addButton->setAccessibleName(QStringLiteral("Add Audio File"));
  connect(m_addButton, &QPushButton::clicked, this, &AudioSourcesList::chooseFiles);
  layout->addWidget(m_addButton, 0, Qt::AlignHCenter);
  auto* hints = new QVBoxLayout;
  hints->setSpacing(4);
  hints->addWidget(centred(captionLabel(QStringLiteral("or drag and drop files here"), page)));
  hints->addWidget(centred(captionLabel(QStringLiteral("Ctrl+O to open"), page)));
  layout->addLayout(hints);
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
  for (AudioSourceRow* row : std::as_const(m_rows)) {
    m_rowsLayout->removeWidget(row);
    row->hide();
    row->deleteLater();
  }
  m_rows.clear();
  syncRows();
}

void AudioSourcesList::syncRows() {
  m_syncScheduled = false;
  if (m_group && m_group->isDeleted()) m_group = nullptr;
  const QList<AudioSource*> sources = sourcesNewestFirst(m_group);
  QHash<QUuid, AudioSourceRow*> keep;
  // A large group is built a screenful first, then in batches that double, one per event-loop
  // turn, so the column shows its first rows at once and stays responsive while the rest arrive.
  const qsizetype batch = std::max<qsizetype>(kRowsPerTurn, 4 * m_rows.size());
  qsizetype created = 0;
  qsizetype placed = 0;
  for (; placed < sources.size(); ++placed) {
    AudioSource* source = sources[placed];
    AudioSourceRow* row = m_rows.take(source->id());
    const bool isNew = !row;
    if (isNew) {
      if (created == batch) break;
      row = makeRow(source);
      ++created;
    }
    QLayoutItem* atPlace = m_rowsLayout->itemAt(int(placed));
    if (!atPlace || atPlace->widget() != row) {
      if (!isNew) m_rowsLayout->removeWidget(row);
      m_rowsLayout->insertWidget(int(placed), row);
    }
    keep.insert(source->id(), row);
  }
  if (placed < sources.size()) {
    // Rows of the sources not reached yet stay; the next turn puts them in order.
    for (qsizetype i = placed; i < sources.size(); ++i) {
      if (AudioSourceRow* row = m_rows.take(sources[i]->id())) keep.insert(sources[i]->id(), row);
    }
    if (!m_syncScheduled) {
      m_syncScheduled = true;
      QTimer::singleShot(0, this, &AudioSourcesList::syncRows);  // after the pending paint
    }
  }
  for (AudioSourceRow* gone : std::as_const(m_rows)) {
    m_rowsLayout->removeWidget(gone);
    gone->deleteLater();
  }
  m_rows = keep;
  m_sourceCount = sources.size();
  m_pages->setCurrentIndex(!m_group ? kNoGroupPage : sources.isEmpty() ? kEmptyPage : kListPage);
  updateHeader();
  updateRowSelection();
}

AudioSourceRow* AudioSourcesList::makeRow(AudioSource* source) {
  auto* row = new AudioSourceRow(source, m_fileAccess, m_rowsHost);
  connect(row, &AudioSourceRow::selectRequested, this, [this, row] { selectSource(row->audioSource()); });
  connect(row, &AudioSourceRow::deleteRequested, this, [this, row] { requestDelete(row->audioSource()); });
  row->setDeletionRefusal([this, row] { return m_actions.deletionRefusal(row->audioSource()); });
  connect(row, &AudioSourceRow::chipClicked, this, [this, row](Transcription* transcription) {
    // A chip on another source's row selects that source first.
    m_selection.setAudioSource(row->audioSource());
    m_selection.setTranscription(transcription);
  });
  connect(row, &AudioSourceRow::showInFileManagerRequested, this, [this](const QUrl& file) {
    if (m_prompts.showInFileManager) m_prompts.showInFileManager(file);
  });
  return row;
}

void AudioSourcesList::updateHeader() {
  m_title->setText(m_group ? m_group->name() : QStringLiteral("No Group"));
  m_count->setVisible(m_group);
  m_count->setText(QStringLiteral("%1 files").arg(m_sourceCount));
}

void AudioSourcesList::updateRowSelection() {
  for (AudioSourceRow* row : std::as_const(m_rows)) {
    row->setSelected(row->audioSource() == m_selection.audioSource());
    row->setSelectedTranscription(m_selection.transcription());
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
  // A deletion that would be refused (a run holds the source, perhaps since the question was
  // asked) is not asked about and moves nothing: the library refuses it and says why.
  if (m_actions.deletionRefusal(source).isEmpty() &&
      !m_prompts.confirmDelete(this, QStringLiteral("Delete Audio?"), message)) {
    return;
  }
  if (!m_actions.deletionRefusal(source).isEmpty()) {
    m_actions.deleteAudioSource(source);
    return;
  }
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
  const QList<RefusedFile> refused = AudioFileTypes::refusedFiles(data);
  if (!refused.isEmpty()) emit filesRefused(refused);
  if (files.isEmpty()) return false;
  m_importQueue.enqueue(files);
  return true;
}

void AudioSourcesList::setDragOver(bool over) {
  m_dragOver = over;
  // The empty state lights its dashed border; the list is covered by the overlay.
  const bool empty = m_pages->currentIndex() == kEmptyPage;
  static_cast<EmptyGroupPage*>(m_emptyPage)->setHighlighted(over && empty);
  m_dropOverlay->setGeometry(m_pages->geometry());
  m_dropOverlay->setVisible(over && !empty);
  m_dropOverlay->raise();
}

void AudioSourcesList::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  m_dropOverlay->setGeometry(m_pages->geometry());
}

void AudioSourcesList::dragEnterEvent(QDragEnterEvent* event) {
  // A drag of files is let in so that its drop can say what is not taken; the column lights up
  // only for a file it will take.
  if (m_group && AudioFileTypes::hasLocalFiles(event->mimeData())) {
    event->acceptProposedAction();
    setDragOver(!AudioFileTypes::audioFiles(event->mimeData()).isEmpty());
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
