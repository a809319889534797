#include "Views/Workspace/ResultsView.h"

#include "Services/AudioPlayerService.h"
#include "Services/ExportService.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Common/Divider.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Player/VideoPlayerBar.h"
#include "Views/Workspace/AudioBar.h"
#include "Views/Workspace/SegmentListModel.h"
#include "Views/Workspace/SegmentListView.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

namespace parlowvista {

ResultsView::ResultsView(TranscriptionViewModel& viewModel, std::function<PlayerPageHost()> pageHost, QWidget* parent)
    : QWidget(parent), m_vm(viewModel), m_pageHost(std::move(pageHost)) {
  setAccessibleName("Transcript");
  m_layout = new QVBoxLayout(this);
  m_layout->setContentsMargins(0, 0, 0, 0);
  m_layout->setSpacing(0);
  m_model = new SegmentListModel(this);
  m_list = new SegmentListView(m_model, this);

  m_layout->addWidget(new Divider(this));  // the playback section goes above it
  m_layout->addWidget(buildStatistics());
  m_layout->addWidget(new Divider(this));
  m_layout->addWidget(m_list, 1);
  m_layout->addWidget(new Divider(this));
  m_layout->addWidget(buildActionBar());

  wireList();
  // What is typed in a row's editor is committed before any action of the view model's takes
  // the transcript on screen away, copies it, runs it again or writes it out.
  m_vm.setOpenEditCommitter(this, [this] { m_list->commitPendingEdit(); });
  connect(&m_vm, &TranscriptionViewModel::stateChanged, this, &ResultsView::syncResult);
  connect(&m_vm, &TranscriptionViewModel::activeTabChanged, this, [this] {
    syncResult();
    syncSpeakers();
  });
  connect(&m_vm, &TranscriptionViewModel::speakersChanged, this, &ResultsView::syncSpeakers);
  connect(&m_vm, &TranscriptionViewModel::currentSegmentIndexChanged, this, [this] {
    m_model->setCurrentIndex(m_vm.currentSegmentIndex());
    m_list->followCurrentIndex(m_vm.currentSegmentIndex());
  });
  connect(&m_vm, &TranscriptionViewModel::retranscribingSegmentIndexChanged, this, &ResultsView::syncRetranscribe);
  connect(&m_vm, &TranscriptionViewModel::isBusyChanged, this, &ResultsView::syncRetranscribe);
  // A version opened again gets its samples back from the cache after it is shown.
  connect(&m_vm, &TranscriptionViewModel::cachedSamplesChanged, this, &ResultsView::syncRetranscribe);
  connect(&m_vm, &TranscriptionViewModel::mediaSourceChanged, this, &ResultsView::syncPlaybackSection);
  connect(&m_vm, &TranscriptionViewModel::reassignToThisSegmentOnlyChanged, this,
          [this] { m_list->setApplyToThisSegmentOnly(m_vm.reassignToThisSegmentOnly()); });
  connect(&m_vm.audioPlayer(), &AudioPlayerService::isPlayingChanged, this,
          [this](bool playing) { m_model->setAudioPlaying(playing); });

  syncPlaybackSection();
  syncResult();
  syncSpeakers();
  syncRetranscribe();
  m_list->setApplyToThisSegmentOnly(m_vm.reassignToThisSegmentOnly());
  m_model->setCurrentIndex(m_vm.currentSegmentIndex());
  m_model->setAudioPlaying(m_vm.audioPlayer().isPlaying());
}

ResultsView::~ResultsView() {
  // An editor still open keeps its text while the list and everything it reaches are whole;
  // after this it can commit nothing (the list lets go of it as it goes).
  m_list->commitPendingEdit();
  m_vm.clearOpenEditCommitter(this);
}

void ResultsView::commitPendingEdit() {
  m_list->commitPendingEdit();
}

QWidget* ResultsView::buildStatistics() {
  auto* band = new QWidget(this);
  Theme::setStripBackground(band);
  auto* row = new QHBoxLayout(band);
  row->setContentsMargins(16, 12, 16, 12);
  row->setSpacing(24);
  for (const char* title : {"Duration", "Speakers", "Segments", "Speed"}) {
    auto* item = new QVBoxLayout;
    item->setSpacing(4);
    auto* value = new QLabel(band);
    QFont big = font();
    big.setPointSizeF(font().pointSizeF() * 1.25);
    big.setBold(true);
    value->setFont(big);
    value->setAlignment(Qt::AlignCenter);
    value->setTextFormat(Qt::PlainText);
    QLabel* caption = captionLabel(title, band);
    caption->setAlignment(Qt::AlignCenter);
    item->addWidget(value);
    item->addWidget(caption);
    row->addLayout(item);
    m_stats.insert(title, value);
  }
  row->addStretch(1);
  m_processed = captionLabel(QString(), band);
  row->addWidget(m_processed);
  return band;
}

QWidget* ResultsView::buildActionBar() {
  auto* bar = new QWidget(this);
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(16, 10, 16, 10);
  row->setSpacing(12);
  m_newFile = new QPushButton("New File", bar);
  m_newFile->setAutoDefault(false);
  m_newFile->setAccessibleName("New File");
  m_export = new QToolButton(bar);
  m_export->setText("Export");
  m_export->setAccessibleName("Export");
  m_export->setPopupMode(QToolButton::InstantPopup);
  m_export->setToolButtonStyle(Qt::ToolButtonTextOnly);
  auto* menu = new QMenu(m_export);
  for (ExportFormat format : {ExportFormat::txt, ExportFormat::srt, ExportFormat::json}) {
    menu->addAction(rawValue(format), this, [this, format] { m_vm.exportTranscript(format); });
  }
  menu->addSeparator();
  menu->addAction("Export All Formats...", this, [this] { m_vm.exportAll(); });
  m_export->setMenu(menu);
  // Room for the menu arrow the style draws in the corner, which would cover the text.
  m_export->setMinimumWidth(m_export->sizeHint().width() +
                            2 * m_export->style()->pixelMetric(QStyle::PM_MenuButtonIndicator, nullptr, m_export));
  row->addWidget(m_newFile);
  row->addStretch(1);
  row->addWidget(m_export);
  connect(m_newFile, &QPushButton::clicked, this, [this] {
    // An open edit belongs to the transcript being left; the reset saves it with the rest.
    m_vm.commitOpenEdit();
    m_vm.audioPlayer().stop();
    m_vm.reset();
    emit resetRequested();
  });
  return bar;
}

void ResultsView::syncPlaybackSection() {
  const auto& media = m_vm.mediaSource();
  const bool video = media && media->isYouTubeVideo();
  const QString videoId = video ? media->type.videoId : QString();
  if (m_playback && ((video && videoId == m_videoId && m_videoBar) || (!video && m_audioBar))) return;
  if (m_playback) {
    m_layout->removeWidget(m_playback);
    m_playback->deleteLater();
  }
  m_audioBar = nullptr;
  m_videoBar = nullptr;
  m_videoId = videoId;
  // Another video builds a fresh bar: nothing of the old one carries over.
  if (video)
    m_playback = m_videoBar = new VideoPlayerBar(*media, &m_vm.audioPlayer(), m_pageHost(), this);
  else
    m_playback = m_audioBar = new AudioBar(m_vm.audioPlayer(), this);
  m_layout->insertWidget(0, m_playback);
}

void ResultsView::syncResult() {
  const auto result = m_vm.activeResult();
  const TranscriptionResult shown = result.value_or(TranscriptionResult());
  m_list->setReadOnly(!m_vm.activeTab().isOriginal());
  m_model->setResult(shown);
  // The list keeps its scroll through a reset of its rows: the rows of another version would
  // show from wherever the last one was read, while its playback is at its start (and no row is
  // current, so none is followed, before its first words).
  if (m_vm.currentTranscription() != m_listed) {
    m_listed = m_vm.currentTranscription();
    m_list->scrollToTop();
  }
  m_stats["Duration"]->setText(TranscriptionResult::formatDuration(shown.audioDuration()));
  m_stats["Speakers"]->setText(QString::number(shown.speakerCount()));
  m_stats["Segments"]->setText(QString::number(shown.segments.size()));
  const double ratio = shown.processingTime() > 0 ? shown.audioDuration() / shown.processingTime() : 0.0;
  m_stats["Speed"]->setText(QString::asprintf("%.0fx RT", ratio));
  m_processed->setText("Processed in " + QString::asprintf("%.1fs", shown.processingTime()));
  m_model->setCurrentIndex(m_vm.currentSegmentIndex());
}

void ResultsView::syncSpeakers() {
  m_model->setSpeakers(m_vm.activeSpeakers());
}

void ResultsView::syncRetranscribe() {
  m_model->setRetranscribingIndex(m_vm.retranscribingSegmentIndex());
  m_list->setCanRetranscribe(m_vm.canRetranscribeSegment());
}

QString ResultsView::statValue(const QString& title) const {
  const auto it = m_stats.find(title);
  return it == m_stats.end() ? QString() : (*it)->text();
}

QString ResultsView::processedText() const {
  return m_processed->text();
}

std::optional<qsizetype> ResultsView::indexOf(const QUuid& id) const {
  const auto row = m_model->rowOf(id);
  if (!row) return std::nullopt;
  return qsizetype(*row);
}

void ResultsView::playPause(qsizetype index) {
  AudioPlayerService& player = m_vm.audioPlayer();
  // The last row stays highlighted once the file has played out; its Play plays that row, not
  // the file again from the beginning.
  if (m_vm.currentSegmentIndex() == index && !player.isPlayedOut()) {
    if (player.isPlaying())
      player.pause();
    else
      player.play();
    return;
  }
  m_vm.seekToSegment(index);
  player.play();
}

void ResultsView::wireList() {
  // Each intent names its segment by id; the index is looked up now, when it acts.
  connect(m_list, &SegmentListView::textChangeRequested, this, [this](const QUuid& id, const QString& text) {
    if (auto i = indexOf(id)) m_vm.updateSegmentText(*i, text);
  });
  connect(m_list, &SegmentListView::splitRequested, this, [this](const QUuid& id, const QString& text, qint64 pos) {
    if (auto i = indexOf(id)) m_vm.splitSegment(*i, text, pos);
  });
  connect(m_list, &SegmentListView::mergeRequested, this, [this](const QUuid& id, const QString& text) {
    if (auto i = indexOf(id)) m_vm.mergeWithPrevious(*i, text);
  });
  connect(m_list, &SegmentListView::reassignRequested, this, [this](const QUuid& id, qint64 speaker, bool all) {
    if (auto i = indexOf(id)) m_vm.reassignSegment(*i, speaker, all);
  });
  connect(m_list, &SegmentListView::newSpeakerRequested, this, [this](const QUuid& id, bool all) {
    if (!indexOf(id)) return;
    const auto created = m_vm.addNewSpeaker();
    if (!created) return;
    if (auto i = indexOf(id)) m_vm.reassignSegment(*i, created->speakerId, all);
  });
  connect(m_list, &SegmentListView::renameSpeakerRequested, this,
          [this](qint64 speakerId, const QString& name) { m_vm.renameSpeaker(speakerId, name); });
  connect(m_list, &SegmentListView::retranscribeRequested, this, [this](const QUuid& id) {
    if (auto i = indexOf(id)) m_vm.retranscribeSegment(*i);
  });
  connect(m_list, &SegmentListView::playPauseRequested, this, [this](const QUuid& id) {
    if (auto i = indexOf(id)) playPause(*i);
  });
  connect(m_list, &SegmentListView::applyToThisSegmentOnlyChanged, this,
          [this](bool on) { m_vm.setReassignToThisSegmentOnly(on); });
}

}  // namespace parlowvista
