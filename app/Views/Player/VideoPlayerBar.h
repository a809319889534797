#pragma once

#include "Models/MediaSource.h"
#include "Views/Common/SeekSlider.h"
#include "Views/Player/YouTubePlayerView.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

class QLabel;
class QToolButton;

namespace parlowvista {

class AudioPlayerService;
class YouTubePlayerView;

// The playback area above the transcript when its media is an online video: the embedded video
// in a resizable 16:9 frame over a strip of controls. It keeps the audio player (the transcript's
// clock, muted while the video carries the sound) and the video in step both ways: an audio jump
// of more than 1 s seeks the video, a video position more than 0.5 s away moves the audio (and
// that move seeks nothing back). The clocks move the slider without seeking.
// Without a usable video (no identifier, or the video failed) the strip drives the audio alone.
class VideoPlayerBar : public QWidget {
  Q_OBJECT

 public:
  static constexpr double minVideoHeight = 120;
  static constexpr double maxVideoHeight = 480;
  static constexpr double defaultVideoHeight = 240;
  static constexpr const char* videoHeightKey = "videoPlayerHeight";

  VideoPlayerBar(const MediaSource& mediaSource, AudioPlayerService* audioPlayer, PlayerPageHost pageHost,
                 QWidget* parent = nullptr);
  ~VideoPlayerBar() override;

  // "m:ss" of the time truncated to whole seconds (no hour field); "0:00" for a non-finite time
  // or one too large to count in whole seconds.
  static QString formatTime(double seconds);

  double videoTime() const { return m_videoTime; }
  double videoDuration() const { return m_videoDuration; }
  bool isVideoPlaying() const { return m_isVideoPlaying; }
  bool isVideoAvailable() const { return m_isVideoAvailable; }
  bool isVideoReady() const { return m_isVideoReady; }
  double videoHeight() const { return m_videoHeight; }
  bool isDraggingResize() const { return m_isDraggingResize; }
  bool hasVideoSection() const { return m_playerView != nullptr || m_overlay != nullptr; }

  YouTubePlayerView* playerView() const { return m_playerView; }
  QToolButton* playButton() const { return m_playButton; }
  SeekSlider* slider() const { return m_slider; }
  QLabel* positionLabel() const { return m_positionLabel; }
  QLabel* durationLabel() const { return m_durationLabel; }
  QWidget* resizeHandle() const { return m_resizeHandle; }
  QWidget* unavailableOverlay() const { return m_overlay; }
  // The alert while it is open; nothing once it was dismissed.
  QMessageBox* unavailableAlert() const { return m_alert; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildVideoSection(const QString& videoId);
  QWidget* buildControls();
  QWidget* buildOverlay();
  void layoutStack();

  void playButtonClicked();
  void sliderMovedTo(double fraction);
  void videoTimeReported(double time);
  void audioPlayingChanged(bool playing);
  void audioTimeChanged(double time);

  void setVideoPlaying(bool playing);
  void setVideoAvailable(bool available);
  void setVideoReady(bool ready);
  void setVideoDuration(double duration);
  void setVideoHeight(double height);
  void setMutingAudio(bool mute);
  bool drivesAudioOnly() const;
  void refreshControls();
  void refreshPlayIcon();

  MediaSource m_mediaSource;
  PlayerPageHost m_pageHost;
  QPointer<AudioPlayerService> m_audioPlayer;

  double m_videoTime = 0;
  double m_videoDuration = 0;
  bool m_isVideoPlaying = false;
  bool m_isVideoAvailable = true;
  bool m_isVideoReady = false;
  double m_videoHeight = defaultVideoHeight;
  bool m_isDraggingResize = false;

  double m_lastAudioTime = 0;
  bool m_audioFollowsVideo = false;  // the audio is being moved to the video's position
  bool m_lastAudioPlaying = false;
  bool m_shownAsPlaying = true;  // differs from the start state, so the first refresh draws the icon
  QString m_unavailableReason = QStringLiteral("The player could not be loaded");
  bool m_isMutingAudio = false;
  double m_dragStartHeight = 0;
  QPoint m_dragStartPoint;
  bool m_pressOnHandle = false;

  QWidget* m_videoSection = nullptr;
  QWidget* m_stack = nullptr;
  YouTubePlayerView* m_playerView = nullptr;
  QWidget* m_overlay = nullptr;
  QWidget* m_resizeHandle = nullptr;
  QToolButton* m_playButton = nullptr;
  QLabel* m_positionLabel = nullptr;
  SeekSlider* m_slider = nullptr;
  QLabel* m_durationLabel = nullptr;
  QPointer<QMessageBox> m_alert;  // closes itself, and is deleted then
};

}  // namespace parlowvista
