#include "Services/AudioPlayerService.h"

#include "Services/ProcessRunner.h"
#include "Services/ToolLocator.h"

#include <QAudioOutput>
#include <QDebug>
#include <QFileInfo>
#include <QMediaPlayer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavformat/avformat.h>
}

namespace parlowvista {

namespace {

constexpr int kTickMilliseconds = 100;
constexpr int kDecodeTimeoutMilliseconds = 10 * 60 * 1000;

struct ProbeResult {
  double duration = 0;  // seconds
  QString formatName;   // FFmpeg's demuxer name, e.g. "wav" or "caf"
};

// The platform player learns the duration only after it has loaded the file, but callers need
// it as soon as load() returns, so the container is read once with FFmpeg.
ProbeResult probe(const QString& path) {
  const QByteArray encodedPath = QFile::encodeName(path);
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, encodedPath.constData(), nullptr, nullptr) < 0) {
    throw AudioPlayerError(AudioPlayerError::Kind::cannotOpen,
                           QStringLiteral("Cannot open audio file: %1").arg(QFileInfo(path).fileName()));
  }
  struct Closer {
    AVFormatContext** context;
    ~Closer() { avformat_close_input(context); }
  } closer{&context};

  if (avformat_find_stream_info(context, nullptr) < 0) {
    throw AudioPlayerError(AudioPlayerError::Kind::cannotOpen,
                           QStringLiteral("Cannot read audio file: %1").arg(QFileInfo(path).fileName()));
  }
  const int stream = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (stream < 0) {
    throw AudioPlayerError(AudioPlayerError::Kind::noAudioStream,
                           QStringLiteral("No audio stream in file: %1").arg(QFileInfo(path).fileName()));
  }

  ProbeResult result;
  result.formatName = QString::fromUtf8(context->iformat->name);
  if (context->duration != AV_NOPTS_VALUE && context->duration > 0) {
    result.duration = static_cast<double>(context->duration) / AV_TIME_BASE;
  } else {
    const AVStream* audio = context->streams[stream];
    if (audio->duration != AV_NOPTS_VALUE && audio->duration > 0) {
      result.duration = static_cast<double>(audio->duration) * av_q2d(audio->time_base);
    }
  }
  return result;
}

// GStreamer has no CAF demuxer, so such files are played from a WAV copy that FFmpeg decodes.
bool needsDecodedCopy(const ProbeResult& probed) {
  return probed.formatName == QLatin1String("caf");
}

QString decodeToWav(const QString& source, const QTemporaryDir& folder) {
  const QString ffmpeg = ToolLocator::onSearchPath(QStringLiteral("ffmpeg")).value_or(QString());
  if (ffmpeg.isEmpty()) {
    throw AudioPlayerError(AudioPlayerError::Kind::decodeFailed,
                           QStringLiteral("Playing CAF files needs ffmpeg. Install via: sudo apt install ffmpeg"));
  }
  const QString target = folder.filePath(QStringLiteral("decoded.wav"));
  ProcessRequest request;
  request.program = ffmpeg;
  request.arguments = {QStringLiteral("-nostdin"),  QStringLiteral("-v"),
                       QStringLiteral("error"),     QStringLiteral("-y"),
                       QStringLiteral("-i"),        source,
                       QStringLiteral("-vn"),       QStringLiteral("-acodec"),
                       QStringLiteral("pcm_s16le"), target};
  request.timeoutMs = kDecodeTimeoutMilliseconds;
  // load() is synchronous by contract; a CAF file is the rare case that takes this road.
  const ProcessOutcome outcome = ProcessRunner::runToEnd(request);
  if (!outcome.succeeded()) {
    const QString reason = outcome.kind == ProcessOutcome::Kind::failedToStart
                               ? outcome.startError
                               : QString::fromUtf8(outcome.standardError + outcome.standardOutput).trimmed();
    throw AudioPlayerError(AudioPlayerError::Kind::decodeFailed,
                           QStringLiteral("Could not decode %1: %2").arg(QFileInfo(source).fileName(), reason));
  }
  return target;
}

}  // namespace

AudioPlayerService::AudioPlayerService(QObject* parent) : QObject(parent) {}

AudioPlayerService::~AudioPlayerService() {
  stopTimer();
}

void AudioPlayerService::load(const QUrl& url) {
  stop();

  const QString path = url.isLocalFile() ? url.toLocalFile() : url.toString();
  const ProbeResult probed = probe(path);

  QString playable = path;
  std::unique_ptr<QTemporaryDir> decodedCopy;
  if (needsDecodedCopy(probed)) {
    decodedCopy = std::make_unique<QTemporaryDir>();
    if (!decodedCopy->isValid()) {
      throw AudioPlayerError(AudioPlayerError::Kind::decodeFailed,
                             QStringLiteral("Could not create a temporary folder"));
    }
    playable = decodeToWav(path, *decodedCopy);
  }

  m_player = new QMediaPlayer(this);
  m_output = new QAudioOutput(m_player);
  m_player->setAudioOutput(m_output);
  connect(m_player, &QMediaPlayer::errorOccurred, this, [](QMediaPlayer::Error, const QString& message) {
    qWarning().noquote() << "[AudioPlayerService] Playback error:" << message;
  });
  // The platform player ignores positions set while it is still opening the file; the last
  // one asked for meanwhile is applied once it has.
  connect(m_player, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
    if (status == QMediaPlayer::LoadingMedia || status == QMediaPlayer::NoMedia) {
      return;
    }
    // Queued: a position set while the player is still announcing the load is lost too.
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (m_pendingPosition && m_player) {
            m_player->setPosition(*m_pendingPosition);
            m_pendingPosition.reset();
          }
        },
        Qt::QueuedConnection);
  });
  m_player->setSource(QUrl::fromLocalFile(playable));
  m_decodedCopy = std::move(decodedCopy);

  m_output->setVolume(m_isMuted ? 0.0f : 1.0f);
  setDuration(probed.duration);
  setCurrentTime(0);
  setIsLoaded(true);
}

void AudioPlayerService::play() {
  if (!m_player) {
    return;
  }
  m_player->play();
  setIsPlaying(true);
  startTimer();
}

void AudioPlayerService::pause() {
  if (m_player) {
    m_player->pause();
  }
  setIsPlaying(false);
  stopTimer();
}

void AudioPlayerService::togglePlayPause() {
  if (m_isPlaying) {
    pause();
  } else {
    play();
  }
}

void AudioPlayerService::stop() {
  if (m_player) {
    m_player->stop();
    m_player->disconnect(this);
    delete m_player;  // owns the audio output
    m_player = nullptr;
    m_output = nullptr;
  }
  m_pendingPosition.reset();
  m_decodedCopy.reset();
  setIsPlaying(false);
  setCurrentTime(0);
  setDuration(0);
  setIsLoaded(false);
  stopTimer();
}

void AudioPlayerService::seek(double time) {
  const double clamped = std::max(0.0, std::min(time, m_duration));
  if (m_player) {
    const qint64 milliseconds = std::llround(clamped * 1000.0);
    const QMediaPlayer::MediaStatus status = m_player->mediaStatus();
    if (status == QMediaPlayer::LoadingMedia || status == QMediaPlayer::NoMedia) {
      m_pendingPosition = milliseconds;
    } else {
      m_player->setPosition(milliseconds);
    }
  }
  setCurrentTime(clamped);
}

void AudioPlayerService::seekToProgress(double fraction) {
  seek(std::max(0.0, std::min(m_duration * fraction, m_duration)));
}

void AudioPlayerService::setMuted(bool muted) {
  m_isMuted = muted;
  if (m_output) {
    m_output->setVolume(muted ? 0.0f : 1.0f);
  }
}

double AudioPlayerService::playerPosition() const {
  return m_player ? static_cast<double>(m_player->position()) / 1000.0 : 0.0;
}

double AudioPlayerService::playerVolume() const {
  return m_output ? static_cast<double>(m_output->volume()) : 0.0;
}

void AudioPlayerService::startTimer() {
  stopTimer();
  m_timer = new QTimer(this);
  m_timer->setObjectName(QStringLiteral("positionTimer"));
  m_timer->setInterval(kTickMilliseconds);
  connect(m_timer, &QTimer::timeout, this, &AudioPlayerService::updateTime);
  m_timer->start();
}

void AudioPlayerService::stopTimer() {
  if (m_timer) {
    m_timer->stop();
    // It may be the timer whose tick is running now, so it goes later, but no longer counts.
    m_timer->setParent(nullptr);
    m_timer->deleteLater();
    m_timer = nullptr;
  }
}

void AudioPlayerService::updateTime() {
  if (!m_player) {
    return;
  }
  setCurrentTime(playerPosition());
  // The player stops by itself at the end of the file; the next tick notices.
  if (m_player->playbackState() != QMediaPlayer::PlayingState && m_isPlaying) {
    setIsPlaying(false);
    stopTimer();
  }
}

void AudioPlayerService::setIsPlaying(bool value) {
  m_isPlaying = value;
  emit isPlayingChanged(value);
}

void AudioPlayerService::setCurrentTime(double value) {
  m_currentTime = value;
  emit currentTimeChanged(value);
}

void AudioPlayerService::setDuration(double value) {
  m_duration = value;
  emit durationChanged(value);
}

void AudioPlayerService::setIsLoaded(bool value) {
  m_isLoaded = value;
  emit isLoadedChanged(value);
}

}  // namespace parlowvista
