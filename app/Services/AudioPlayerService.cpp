#include "Services/AudioPlayerService.h"

#include "Services/ProcessRunner.h"
#include "Services/ToolLocator.h"

#include <QAudioOutput>
#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QMediaPlayer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <utility>

extern "C" {
#include <libavformat/avformat.h>
}

namespace parlowvista {

// The WAV a CAF file was decoded into, with what the source file was like then.
struct AudioPlayerService::DecodedCopy {
  QString source;
  qint64 sourceSize = -1;
  QDateTime sourceModified;
  QTemporaryDir folder;  // removed, with the copy, when the last holder lets go
  QString wav;

  bool describes(const QFileInfo& file) const {
    return file.absoluteFilePath() == source && file.size() == sourceSize && file.lastModified() == sourceModified;
  }
};

// What a worker hands back to the main thread: the file to set and its length, or why not.
struct AudioPlayerService::PreparedFile {
  QString error;
  double duration = 0;  // seconds
  QString playable;
  std::shared_ptr<DecodedCopy> copy;
};

namespace {

// A file that cannot be played; `what()` is the user-facing description.
struct CannotPlay : std::runtime_error {
  explicit CannotPlay(const QString& description) : std::runtime_error(description.toStdString()) {}
};

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
    throw CannotPlay(QStringLiteral("Cannot open audio file: %1").arg(QFileInfo(path).fileName()));
  }
  struct Closer {
    AVFormatContext** context;
    ~Closer() { avformat_close_input(context); }
  } closer{&context};

  if (avformat_find_stream_info(context, nullptr) < 0) {
    throw CannotPlay(QStringLiteral("Cannot read audio file: %1").arg(QFileInfo(path).fileName()));
  }
  const int stream = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (stream < 0) {
    throw CannotPlay(QStringLiteral("No audio stream in file: %1").arg(QFileInfo(path).fileName()));
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

QString decodeToWav(const QString& source, const QTemporaryDir& folder, const std::atomic_bool& cancelled) {
  const QString ffmpeg = ToolLocator::onSearchPath(QStringLiteral("ffmpeg")).value_or(QString());
  if (ffmpeg.isEmpty()) {
    throw CannotPlay(QStringLiteral("Playing CAF files needs ffmpeg. Install via: sudo apt install ffmpeg"));
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
  // A load that was superseded meanwhile ends the decode it no longer needs.
  const ProcessOutcome outcome = ProcessRunner::runToEnd(request, [&cancelled] { return cancelled.load(); });
  if (!outcome.succeeded()) {
    const QString reason = outcome.kind == ProcessOutcome::Kind::failedToStart
                               ? outcome.startError
                               : QString::fromUtf8(outcome.standardError + outcome.standardOutput).trimmed();
    throw CannotPlay(QStringLiteral("Could not decode %1: %2").arg(QFileInfo(source).fileName(), reason));
  }
  return target;
}

// The first platform player of the process sets up the media framework (GStreamer reads its
// plugin registry: a second when that is cold). One is made and dropped on a worker thread
// before any other, so the main thread's own players are quick to make.
void prepareMediaFramework() {
  static std::once_flag once;
  std::call_once(once, [] {
    QMediaPlayer player;
    QAudioOutput output;
    player.setAudioOutput(&output);
  });
}

}  // namespace

AudioPlayerService::AudioPlayerService(QObject* parent) : QObject(parent) {}

AudioPlayerService::~AudioPlayerService() {
  if (m_loadCancelled) *m_loadCancelled = true;
  stopTimer();
}

void AudioPlayerService::load(const QUrl& url, LoadFinished finished, std::optional<double> decodedDuration) {
  stop();
  const QString path = url.isLocalFile() ? url.toLocalFile() : url.toString();
  const QFileInfo file(path);
  if (m_decodedCopy && m_decodedCopy->source != file.absoluteFilePath()) m_decodedCopy.reset();

  m_loading = true;
  const quint64 generation = m_loadGeneration;
  auto cancelled = m_loadCancelled = std::make_shared<std::atomic_bool>(false);
  auto* watcher = new QFutureWatcher<PreparedFile>(this);
  connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation, finished] {
    watcher->deleteLater();
    // Taken out of the future at once, so a decoded copy no one needs any more goes now.
    const PreparedFile prepared = watcher->future().takeResult();
    if (generation != m_loadGeneration) return;
    m_loading = false;
    if (prepared.error.isEmpty()) {
      m_decodedCopy = prepared.copy;
      attach(prepared);
    }
    if (finished) finished(prepared.error);
  });
  watcher->setFuture(QtConcurrent::run([path, reuse = m_decodedCopy, cancelled, decodedDuration]() -> PreparedFile {
    PreparedFile prepared;
    try {
      prepareMediaFramework();
      // The platform player learns the duration only once it has read the file, but callers
      // need it as soon as the file is loaded, so the container is read once with FFmpeg.
      const ProbeResult probed = probe(path);
      prepared.duration = decodedDuration && *decodedDuration > 0 ? *decodedDuration : probed.duration;
      prepared.playable = path;
      if (needsDecodedCopy(probed)) {
        const QFileInfo source(path);
        if (reuse && reuse->describes(source)) {
          prepared.copy = reuse;
        } else {
          auto copy = std::make_shared<DecodedCopy>();
          if (!copy->folder.isValid()) throw CannotPlay(QStringLiteral("Could not create a temporary folder"));
          copy->source = source.absoluteFilePath();
          copy->sourceSize = source.size();
          copy->sourceModified = source.lastModified();
          copy->wav = decodeToWav(path, copy->folder, *cancelled);
          prepared.copy = std::move(copy);
        }
        prepared.playable = prepared.copy->wav;
      }
    } catch (const std::exception& error) {
      prepared.error = QString::fromUtf8(error.what());
    }
    return prepared;
  }));
}

void AudioPlayerService::attach(const PreparedFile& prepared) {
  if (!m_player) createPlayer();
  tearDownSource();
  m_player->setSource(QUrl::fromLocalFile(prepared.playable));
  m_output->setVolume(m_isMuted ? 0.0f : 1.0f);
  setDuration(prepared.duration);
  setCurrentTime(0);
  setIsLoaded(true);
  if (const auto position = std::exchange(m_seekOnLoad, std::nullopt)) seek(*position);
  if (std::exchange(m_playOnLoad, false)) play();
}

void AudioPlayerService::createPlayer() {
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
}

// GStreamer was seen to deadlock in setSource while the previous file's streaming thread was
// still running, so that file's pipeline is stopped and released (joining its threads) first.
void AudioPlayerService::tearDownSource() {
  if (!m_player || m_player->source().isEmpty()) return;
  m_player->stop();
  m_player->setSource(QUrl());
}

void AudioPlayerService::supersedeLoad() {
  ++m_loadGeneration;
  m_loading = false;
  m_seekOnLoad.reset();
  m_playOnLoad = false;
  if (m_loadCancelled) *m_loadCancelled = true;
}

void AudioPlayerService::play() {
  if (m_loading) {
    m_playOnLoad = true;
    return;
  }
  if (!m_isLoaded) {
    return;
  }
  m_player->play();
  setIsPlaying(true);
  startTimer();
}

void AudioPlayerService::pause() {
  m_playOnLoad = false;
  if (m_isLoaded) {
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
  supersedeLoad();
  tearDownSource();
  m_pendingPosition.reset();
  setIsPlaying(false);
  setCurrentTime(0);
  setDuration(0);
  setIsLoaded(false);
  stopTimer();
}

void AudioPlayerService::unload() {
  stop();
  m_decodedCopy.reset();
}

void AudioPlayerService::seek(double time) {
  if (m_loading) {
    m_seekOnLoad = std::max(0.0, time);
    setCurrentTime(*m_seekOnLoad);
    return;
  }
  const double clamped = std::max(0.0, std::min(time, m_duration));
  if (m_isLoaded) {
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
  return m_isLoaded ? static_cast<double>(m_player->position()) / 1000.0 : 0.0;
}

double AudioPlayerService::playerVolume() const {
  return m_output ? static_cast<double>(m_output->volume()) : 0.0;
}

QString AudioPlayerService::playablePath() const {
  return m_isLoaded ? m_player->source().toLocalFile() : QString();
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
  if (!m_isLoaded) {
    return;
  }
  // Never past the end: the platform player may read on where a header promised more audio.
  setCurrentTime(std::min(playerPosition(), m_duration));
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
