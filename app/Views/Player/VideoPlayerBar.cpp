#include "Views/Player/VideoPlayerBar.h"

#include "Services/AudioPlayerService.h"
#include "Views/Common/Icons.h"
#include "Views/Common/SeekSlider.h"
#include "Views/Common/Theme.h"
#include "Views/Common/TimeText.h"
#include "Views/Player/YouTubePlayerView.h"

#include <QDebug>
#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScopedValueRollback>
#include <QSettings>
#include <QShowEvent>
#include <QSlider>
#include <QStyle>
#include <QSvgRenderer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

static void initPlayerIcons() {
  Q_INIT_RESOURCE(player);
}

namespace parlowvista {

namespace {

constexpr int kSliderSteps = 1000;
constexpr int kDragThreshold = 10;
constexpr double kJumpThreshold = 1.0;   // audio moves larger than a playback tick
constexpr double kDriftThreshold = 0.5;  // video position the audio must follow
constexpr int kOverlayMaxHeight = 180;
// How many bars keep the audio player silent while their video plays.
constexpr const char* kMutingBarsProperty = "videoBarsMutingAudio";

const char* boolText(bool value) {
  return value ? "true" : "false";
}

// The handle in the frame's corner; darker while it is being dragged.
class ResizeHandle : public QWidget {
 public:
  explicit ResizeHandle(QWidget* parent) : QWidget(parent), m_icon(QStringLiteral(":/player/resize.svg")) {
    setFixedSize(24, 24);
    setCursor(Qt::SizeVerCursor);
    setAttribute(Qt::WA_Hover);
  }
  void setDragging(bool dragging) {
    m_dragging = dragging;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 4, 4);
    painter.fillPath(shape, QColor(0, 0, 0, m_dragging ? 178 : 102));
    painter.setOpacity(0.7);
    m_icon.render(&painter, QRectF(7, 7, 10, 10));
  }

 private:
  QSvgRenderer m_icon;
  bool m_dragging = false;
};

QLabel* overlayText(const QString& text, double pointScale, bool secondary, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignHCenter);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * pointScale);
  label->setFont(font);
  label->setStyleSheet(secondary ? QStringLiteral("color: rgba(255,255,255,153); background: transparent;")
                                 : QStringLiteral("color: white; background: transparent;"));
  return label;
}

}  // namespace

VideoPlayerBar::VideoPlayerBar(const MediaSource& mediaSource, AudioPlayerService* audioPlayer, PlayerPageHost pageHost,
                               QWidget* parent)
    : QWidget(parent), m_mediaSource(mediaSource), m_pageHost(pageHost), m_audioPlayer(audioPlayer) {
  initPlayerIcons();
  m_videoHeight = std::clamp(QSettings().value(QLatin1String(videoHeightKey), defaultVideoHeight).toDouble(),
                             minVideoHeight, maxVideoHeight);
  if (m_audioPlayer) {
    m_lastAudioTime = m_audioPlayer->currentTime();
  }

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  if (m_mediaSource.isYouTubeVideo() && !m_mediaSource.type.videoId.isEmpty()) {
    buildVideoSection(m_mediaSource.type.videoId);
    layout->addWidget(m_videoSection);
  }
  layout->addWidget(buildControls());
  // The bar is as tall as its frame and strip; the transcript below takes the rest.
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

  if (m_audioPlayer) {
    connect(m_audioPlayer, &AudioPlayerService::isPlayingChanged, this, &VideoPlayerBar::audioPlayingChanged);
    connect(m_audioPlayer, &AudioPlayerService::currentTimeChanged, this, &VideoPlayerBar::audioTimeChanged);
    connect(m_audioPlayer, &AudioPlayerService::durationChanged, this, &VideoPlayerBar::refreshControls);
    connect(m_audioPlayer, &AudioPlayerService::isLoadedChanged, this, &VideoPlayerBar::refreshControls);
  }
  m_lastAudioPlaying = m_audioPlayer && m_audioPlayer->isPlaying();
  refreshControls();
  Theme::followPalette(this, [this] { refreshPlayIcon(); });
}

VideoPlayerBar::~VideoPlayerBar() {
  setMutingAudio(false);
}

void VideoPlayerBar::buildVideoSection(const QString& videoId) {
  m_videoSection = new QWidget(this);
  auto* sectionLayout = new QHBoxLayout(m_videoSection);
  sectionLayout->setContentsMargins(16, 12, 16, 8);
  sectionLayout->setSpacing(0);
  m_stack = new QWidget(m_videoSection);
  m_stack->installEventFilter(this);
  m_stack->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  // The frame takes the width it may have (up to 16:9 of its height); the rest is split evenly
  // on both sides, which centres it.
  sectionLayout->addStretch(1);
  sectionLayout->addWidget(m_stack, 1000);
  sectionLayout->addStretch(1);

  m_playerView = new YouTubePlayerView(videoId, false, m_pageHost, m_stack);
  connect(m_playerView, &YouTubePlayerView::videoUnavailableReason, this,
          [this](const QString& reason) { m_unavailableReason = reason; });
  connect(m_playerView, &YouTubePlayerView::videoAvailableChanged, this, &VideoPlayerBar::setVideoAvailable);
  connect(m_playerView, &YouTubePlayerView::videoReadyChanged, this, &VideoPlayerBar::setVideoReady);
  connect(m_playerView, &YouTubePlayerView::videoDurationChanged, this, &VideoPlayerBar::setVideoDuration);
  connect(m_playerView, &YouTubePlayerView::timeUpdated, this, &VideoPlayerBar::videoTimeReported);

  auto* handle = new ResizeHandle(m_stack);
  handle->installEventFilter(this);
  m_resizeHandle = handle;
  setVideoHeight(m_videoHeight);
}

QWidget* VideoPlayerBar::buildControls() {
  auto* strip = new QWidget(this);
  strip->setObjectName(QStringLiteral("controlsStrip"));
  // Set off from the window by a shade of its own, in a light and a dark palette.
  Theme::setStripBackground(strip);
  auto* row = new QHBoxLayout(strip);
  row->setSpacing(16);
  row->setContentsMargins(style()->pixelMetric(QStyle::PM_LayoutLeftMargin), 12,
                          style()->pixelMetric(QStyle::PM_LayoutRightMargin), 12);

  m_playButton = new QToolButton(strip);
  m_playButton->setAutoRaise(true);
  m_playButton->setFixedSize(44, 44);
  m_playButton->setIconSize(QSize(24, 24));
  m_playButton->setFocusPolicy(Qt::StrongFocus);
  connect(m_playButton, &QToolButton::clicked, this, &VideoPlayerBar::playButtonClicked);

  QFont digits = font();
  digits.setPointSizeF(digits.pointSizeF() * 0.85);
  digits.setStyleHint(QFont::Monospace);
  digits.setFamily(QStringLiteral("monospace"));

  m_positionLabel = new QLabel(strip);
  m_positionLabel->setFont(digits);
  m_positionLabel->setFixedWidth(60);
  m_positionLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  m_positionLabel->setTextFormat(Qt::PlainText);

  m_slider = new SeekSlider(strip);
  m_slider->setRange(0, kSliderSteps);
  m_slider->setAccessibleName(tr("Playback position"));
  // Every change is the user's (a click, a drag, a key, the wheel): the clock's updates are
  // written with the signals blocked.
  connect(m_slider, &QSlider::valueChanged, this, [this](int value) { sliderMovedTo(double(value) / kSliderSteps); });

  m_durationLabel = new QLabel(strip);
  m_durationLabel->setFont(digits);
  m_durationLabel->setFixedWidth(60);
  m_durationLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_durationLabel->setTextFormat(Qt::PlainText);

  row->addWidget(m_playButton, 0, Qt::AlignVCenter);
  row->addWidget(m_positionLabel, 0, Qt::AlignVCenter);
  row->addWidget(m_slider, 1, Qt::AlignVCenter);
  row->addWidget(m_durationLabel, 0, Qt::AlignVCenter);
  return strip;
}

QWidget* VideoPlayerBar::buildOverlay() {
  auto* overlay = new QWidget(m_stack);
  overlay->setObjectName(QStringLiteral("videoUnavailableOverlay"));
  overlay->setAttribute(Qt::WA_StyledBackground);
  overlay->setStyleSheet(QStringLiteral("#videoUnavailableOverlay { background: black; border-radius: 8px; }"));
  auto* column = new QVBoxLayout(overlay);
  column->setSpacing(8);
  column->addStretch();
  auto* symbol = new QLabel(overlay);
  symbol->setPixmap(QIcon(QStringLiteral(":/player/play-slash.svg")).pixmap(32, 32));
  symbol->setAlignment(Qt::AlignHCenter);
  symbol->setStyleSheet(QStringLiteral("background: transparent;"));
  column->addWidget(symbol);
  column->addWidget(overlayText(QStringLiteral("Video cannot be embedded"), 0.85, false, overlay));
  auto* reason = overlayText(m_unavailableReason, 0.75, true, overlay);
  reason->setObjectName(QStringLiteral("unavailableReason"));
  column->addWidget(reason);
  column->addWidget(overlayText(QStringLiteral("Audio playback works normally"), 0.75, true, overlay));
  column->addStretch();
  return overlay;
}

void VideoPlayerBar::layoutStack() {
  if (!m_stack) {
    return;
  }
  const QRect area = m_stack->rect();
  // 16:9 fitted into the frame, centred.
  auto fitted = [&area](int maxHeight) {
    int height = std::min(area.height(), maxHeight);
    int width = height * 16 / 9;
    if (width > area.width()) {
      width = area.width();
      height = width * 9 / 16;
    }
    return QRect(area.x() + (area.width() - width) / 2, area.y() + (area.height() - height) / 2, width, height);
  };
  if (m_playerView) {
    m_playerView->setGeometry(fitted(area.height()));
    QPainterPath rounded;
    rounded.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(m_playerView->size())), 8, 8);
    m_playerView->setMask(QRegion(rounded.toFillPolygon().toPolygon()));
  }
  if (m_overlay) {
    m_overlay->setGeometry(fitted(kOverlayMaxHeight));
  }
  if (m_resizeHandle) {
    m_resizeHandle->move(area.right() - m_resizeHandle->width() - 4 + 1,
                         area.bottom() - m_resizeHandle->height() - 4 + 1);
    m_resizeHandle->raise();
  }
}

QString VideoPlayerBar::formatTime(double seconds) {
  // The page reports these numbers; one that is not a number at all shows 0:00.
  return minutesSeconds(seconds);
}

bool VideoPlayerBar::drivesAudioOnly() const {
  return m_playerView == nullptr;
}

void VideoPlayerBar::refreshControls() {
  const bool audioOnly = drivesAudioOnly();
  const bool audioLoaded = m_audioPlayer && m_audioPlayer->isLoaded();
  const bool enabled = audioOnly ? audioLoaded : m_isVideoReady;
  m_playButton->setEnabled(enabled);
  m_slider->setEnabled(enabled);
  if (m_shownAsPlaying != m_isVideoPlaying) refreshPlayIcon();

  const double position = audioOnly ? (m_audioPlayer ? m_audioPlayer->currentTime() : 0) : m_videoTime;
  const double length = audioOnly ? (m_audioPlayer ? m_audioPlayer->duration() : 0) : m_videoDuration;
  m_positionLabel->setText(formatTime(position));
  m_durationLabel->setText(formatTime(length));
  m_slider->setLength(length);
  if (!m_slider->isSliderDown()) {
    const QSignalBlocker blocker(m_slider);
    const double fraction = length > 0 ? std::clamp(position / length, 0.0, 1.0) : 0.0;
    m_slider->setValue(static_cast<int>(std::lround(fraction * kSliderSteps)));
  }
}

void VideoPlayerBar::playButtonClicked() {
  setVideoPlaying(!m_isVideoPlaying);
  qInfo().noquote() << QStringLiteral("[VideoPlayerBar] Play button clicked, isVideoPlaying now: %1")
                           .arg(QLatin1String(boolText(m_isVideoPlaying)));
}

void VideoPlayerBar::sliderMovedTo(double fraction) {
  if (drivesAudioOnly()) {
    if (m_audioPlayer) {
      m_audioPlayer->seekToProgress(fraction);
    }
    return;
  }
  const double time = fraction * m_videoDuration;
  qInfo().noquote() << QString::asprintf("[VideoPlayerBar] Slider seek to: %.2f", time);
  m_playerView->requestSeek(time);
}

void VideoPlayerBar::videoTimeReported(double time) {
  m_videoTime = time;
  if (m_audioPlayer && std::abs(m_audioPlayer->currentTime() - time) > kDriftThreshold) {
    // The audio follows the video here: its jump is no reason to seek the video back.
    const QScopedValueRollback following(m_audioFollowsVideo, true);
    m_audioPlayer->seek(time);
  }
  refreshControls();
}

void VideoPlayerBar::refreshPlayIcon() {
  m_shownAsPlaying = m_isVideoPlaying;
  m_playButton->setIcon(Icons::icon(m_isVideoPlaying ? QStringLiteral("pause") : QStringLiteral("play"), palette(),
                                    QPalette::WindowText));
  const QString action = m_isVideoPlaying ? tr("Pause") : tr("Play");
  m_playButton->setToolTip(action);
  m_playButton->setAccessibleName(action);
}

void VideoPlayerBar::audioPlayingChanged(bool playing) {
  // The player announces every assignment; only a change of its state is an event here.
  if (playing == m_lastAudioPlaying) {
    return;
  }
  m_lastAudioPlaying = playing;
  if (playing != m_isVideoPlaying) {
    qInfo().noquote() << QStringLiteral("[VideoPlayerBar] Audio isPlaying changed to: %1, syncing video")
                             .arg(QLatin1String(boolText(playing)));
    setVideoPlaying(playing);
  }
}

void VideoPlayerBar::audioTimeChanged(double time) {
  const double previous = m_lastAudioTime;
  m_lastAudioTime = time;
  if (!m_audioFollowsVideo && time != previous && std::abs(time - previous) > kJumpThreshold && m_playerView) {
    qInfo().noquote() << QString::asprintf(
        "[VideoPlayerBar] Segment click detected (jump: %.2f), seeking video to %.2f", std::abs(time - previous), time);
    m_playerView->requestSeek(time);
  }
  if (drivesAudioOnly()) {
    refreshControls();
  }
}

void VideoPlayerBar::setVideoPlaying(bool playing) {
  if (playing == m_isVideoPlaying) {
    return;
  }
  m_isVideoPlaying = playing;
  if (m_playerView) {
    m_playerView->setPlaying(playing);
  }
  if (m_audioPlayer) {
    if (!playing && m_audioPlayer->isPlaying()) {
      m_audioPlayer->pause();
    } else if (playing && !m_audioPlayer->isPlaying()) {
      m_audioPlayer->play();
    }
  }
  refreshControls();
}

void VideoPlayerBar::setVideoAvailable(bool available) {
  if (available == m_isVideoAvailable) {
    return;
  }
  m_isVideoAvailable = available;
  if (available || !m_playerView) {
    return;  // never set true again once the video failed
  }
  // The video is gone for the life of this bar: the overlay takes its place and the audio,
  // which the overlay promises, is heard again and driven by the strip. What its page still
  // says until the view is deleted (events queued behind the error) reaches nothing here.
  m_playerView->disconnect(this);
  m_playerView->hide();
  m_playerView->deleteLater();
  m_playerView = nullptr;
  m_overlay = buildOverlay();
  m_overlay->show();
  setVideoHeight(m_videoHeight);
  setMutingAudio(false);
  refreshControls();

  m_alert =
      new QMessageBox(QMessageBox::Warning, QStringLiteral("Video Unavailable"),
                      QStringLiteral("The YouTube video is not available. Audio playback will continue normally."),
                      QMessageBox::Ok, this);
  m_alert->setTextFormat(Qt::PlainText);
  m_alert->setAttribute(Qt::WA_DeleteOnClose);
  m_alert->open();
}

void VideoPlayerBar::setVideoReady(bool ready) {
  m_isVideoReady = ready;
  refreshControls();
}

void VideoPlayerBar::setVideoDuration(double duration) {
  m_videoDuration = duration;
  refreshControls();
}

void VideoPlayerBar::setVideoHeight(double height) {
  m_videoHeight = std::clamp(height, minVideoHeight, maxVideoHeight);
  if (m_stack) {
    // The overlay is smaller than the video it replaces; the frame (and the handle in its
    // corner) keep to the overlay, leaving no empty band beside it.
    const double frameHeight = m_overlay ? std::min<double>(m_videoHeight, kOverlayMaxHeight) : m_videoHeight;
    m_stack->setFixedHeight(static_cast<int>(std::lround(frameHeight)));
    m_stack->setMaximumWidth(static_cast<int>(std::lround(frameHeight * 16.0 / 9.0)));
    m_stack->setMinimumWidth(std::min(m_stack->maximumWidth(), 160));
    layoutStack();
  }
}

void VideoPlayerBar::setMutingAudio(bool mute) {
  if (mute == m_isMutingAudio || !m_audioPlayer) {
    m_isMutingAudio = mute && m_audioPlayer;
    return;
  }
  m_isMutingAudio = mute;
  // Bars that share one audio player count their holds on it, kept on the player so the count
  // ends with it: a bar that goes away while another already shows its video (a new bar built
  // before the old one is deleted) must not make the audio heard beside that video.
  const int holders = m_audioPlayer->property(kMutingBarsProperty).toInt() + (mute ? 1 : -1);
  m_audioPlayer->setProperty(kMutingBarsProperty, std::max(holders, 0));
  if (mute) {
    m_audioPlayer->setMuted(true);
  } else if (holders <= 0) {
    m_audioPlayer->setMuted(false);
  }
}

void VideoPlayerBar::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous() && m_playerView && !m_isMutingAudio) {
    qInfo().noquote()
        << QStringLiteral("[VideoPlayerBar] Displaying video section with ID: '%1'").arg(m_mediaSource.type.videoId);
    setMutingAudio(true);
  }
}

void VideoPlayerBar::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (!event->spontaneous()) {
    setMutingAudio(false);
  }
}

bool VideoPlayerBar::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_stack && event->type() == QEvent::Resize) {
    layoutStack();
  } else if (watched == m_resizeHandle) {
    auto* handle = static_cast<ResizeHandle*>(m_resizeHandle);
    switch (event->type()) {
      case QEvent::MouseButtonPress: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton) {
          m_pressOnHandle = true;
          m_dragStartPoint = mouse->globalPosition().toPoint();
          m_dragStartHeight = m_videoHeight;
          return true;
        }
        break;
      }
      case QEvent::MouseMove: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (!m_pressOnHandle) {
          break;
        }
        const QPoint translation = mouse->globalPosition().toPoint() - m_dragStartPoint;
        if (!m_isDraggingResize && translation.manhattanLength() < kDragThreshold) {
          return true;
        }
        m_isDraggingResize = true;
        handle->setDragging(true);
        // Measured from the height at the start of the drag, so the frame follows the pointer
        // steadily instead of compounding every move.
        setVideoHeight(m_dragStartHeight + translation.y() / 2.0);
        QSettings().setValue(QLatin1String(videoHeightKey), m_videoHeight);
        return true;
      }
      case QEvent::MouseButtonRelease:
        m_pressOnHandle = false;
        if (m_isDraggingResize) {
          m_isDraggingResize = false;
          handle->setDragging(false);
        }
        return true;
      default: break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace parlowvista
