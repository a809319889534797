#pragma once

#include "Views/Player/YouTubePlayerView.h"

#include <QHash>
#include <QPointer>
#include <QUuid>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace parlowvista {

class AudioBar;
class SegmentListModel;
class SegmentListView;
class Transcription;
class TranscriptionViewModel;
class VideoPlayerBar;

// The workspace's view of the transcript on screen (the view model's active result): the
// playback section (the video bar for an online video, else the audio bar), a statistics
// header, the segment list that follows playback, and an action bar with "New File" and
// "Export". It owns no transcript data: it shows what the view model publishes and sends
// every edit and command to it, resolving segment ids to indices when it acts. Another version
// comes on screen at the top of its list, as its playback starts from its beginning.
//
// Entry point for the main window: construct it with the window's view model while the
// state is `completed` (it also copes with any other state: the list is then empty). It tells
// the view model how to commit a row's open editor (`commitPendingEdit()`), which the view model
// does before every action that leaves, copies, re-runs or writes out the transcript; an editor
// still open when the view goes keeps its text. `resetRequested` fires after
// "New File" has stopped playback and reset the view model; the window then clears its
// selected version.
class ResultsView : public QWidget {
  Q_OBJECT

 public:
  // `pageHost` gives what serves the online-video player; it is asked only when the media is a
  // video, since the first asking starts the web engine (a tenth of a second on the UI thread).
  ResultsView(TranscriptionViewModel& viewModel, std::function<PlayerPageHost()> pageHost, QWidget* parent = nullptr);
  ~ResultsView() override;

  void commitPendingEdit();

  SegmentListView* listView() const { return m_list; }
  SegmentListModel* listModel() const { return m_model; }
  AudioBar* audioBar() const { return m_audioBar; }
  VideoPlayerBar* videoBar() const { return m_videoBar; }
  QPushButton* newFileButton() const { return m_newFile; }
  QToolButton* exportButton() const { return m_export; }
  // The statistics header's values by title ("Duration", "Speakers", "Segments", "Speed")
  // and the closing "Processed in" text.
  QString statValue(const QString& title) const;
  QString processedText() const;

  // The row play/pause rule for the segment at `index`.
  void playPause(qsizetype index);

 signals:
  void resetRequested();

 private:
  QWidget* buildStatistics();
  QWidget* buildActionBar();
  void syncResult();
  void syncSpeakers();
  void syncPlaybackSection();
  void syncRetranscribe();
  void wireList();
  std::optional<qsizetype> indexOf(const QUuid& id) const;

  TranscriptionViewModel& m_vm;
  std::function<PlayerPageHost()> m_pageHost;
  QVBoxLayout* m_layout = nullptr;
  QWidget* m_playback = nullptr;
  AudioBar* m_audioBar = nullptr;
  VideoPlayerBar* m_videoBar = nullptr;
  QString m_videoId;
  QHash<QString, QLabel*> m_stats;
  QLabel* m_processed = nullptr;
  SegmentListModel* m_model = nullptr;
  SegmentListView* m_list = nullptr;
  QPointer<Transcription> m_listed;  // the version whose rows the list holds
  QPushButton* m_newFile = nullptr;
  QToolButton* m_export = nullptr;
};

}  // namespace parlowvista
