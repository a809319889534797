#include "Services/AudioPlayerService.h"

#include "Services/SoundOutput.h"

#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

extern "C" {
#include <libavformat/avformat.h>
}

namespace parlowvista {

// What a worker hands back to the main thread: the file's length, or why it cannot be played.
struct AudioPlayerService::PreparedFile {
  QString error;
  double duration = 0;  // seconds
};

namespace {

// A file that cannot be played; `what()` is the user-facing description.
struct CannotPlay : std::runtime_error {
  explicit CannotPlay(const QString& description) : std::runtime_error(description.toStdString()) {}
};

constexpr int kTickMilliseconds = 100;

// The file's length in seconds (0 when the container does not tell it), read once with FFmpeg;
// throws CannotPlay for a file without audio.
double probe(const QString& path) {
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

  if (context->duration != AV_NOPTS_VALUE && context->duration > 0) {
    return static_cast<double>(context->duration) / AV_TIME_BASE;
  }
  const AVStream* audio = context->streams[stream];
  if (audio->duration != AV_NOPTS_VALUE && audio->duration > 0) {
    return static_cast<double>(audio->duration) * av_q2d(audio->time_base);
  }
  return 0;
}

}  // namespace

AudioPlayerService::AudioPlayerService(QObject* parent) : QObject(parent) {
  m_loads.setMaxThreadCount(2);  // a superseded look may still be finishing
}

AudioPlayerService::~AudioPlayerService() {
  if (m_loadCancelled) *m_loadCancelled = true;
  if (m_output) m_output->release();
  stopTimer();
}

void AudioPlayerService::load(const QUrl& url, LoadFinished finished, std::optional<double> decodedDuration) {
  stop();
  const QString path = url.isLocalFile() ? url.toLocalFile() : url.toString();

  m_loading = true;
  const quint64 generation = m_loadGeneration;
  auto cancelled = m_loadCancelled = std::make_shared<std::atomic_bool>(false);
  auto* watcher = new QFutureWatcher<PreparedFile>(this);
  connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation, finished, path] {
    watcher->deleteLater();
    const PreparedFile prepared = watcher->future().takeResult();
    if (generation != m_loadGeneration) return;
    m_loading = false;
    if (prepared.error.isEmpty()) {
      m_path = path;
      attach(prepared);
    }
    if (finished) finished(prepared.error);
  });
  watcher->setFuture(QtConcurrent::run(&m_loads, [path, cancelled, decodedDuration]() -> PreparedFile {
    PreparedFile prepared;
    if (*cancelled) return prepared;
    try {
      const double announced = probe(path);
      prepared.duration = decodedDuration && *decodedDuration > 0 ? *decodedDuration : announced;
    } catch (const std::exception& error) {
      prepared.error = QString::fromUtf8(error.what());
    }
    return prepared;
  }));
}

void AudioPlayerService::attach(const PreparedFile& prepared) {
  if (!m_output) m_output = new SoundOutput;
  m_output->open(m_path);
  m_volume = m_isMuted ? 0.0 : 1.0;
  m_output->setVolume(m_volume);
  setDuration(prepared.duration);
  setCurrentTime(0);
  setIsLoaded(true);
  if (const auto position = std::exchange(m_seekOnLoad, std::nullopt)) seek(*position);
  if (std::exchange(m_playOnLoad, false)) play();
}

void AudioPlayerService::supersedeLoad() {
  ++m_loadGeneration;
  m_loading = false;
  m_seekOnLoad.reset();
  m_playOnLoad = false;
  if (m_loadCancelled) *m_loadCancelled = true;
}

void AudioPlayerService::startPlayback(double seconds) {
  m_clockBase = seconds;
  m_clockStart.start();
  m_output->play(++m_command, seconds);
}

std::pair<double, bool> AudioPlayerService::playbackPosition() const {
  if (!m_isPlaying) return {m_clockBase, m_clockBase >= m_duration};
  double position = m_clockBase + double(m_clockStart.nsecsElapsed()) / 1e9;
  bool ended = false;
  if (const auto played = m_output->playedPosition(m_command)) {
    position = played->position;
    ended = played->ended;
  }
  // Never past the end: a header may promise more audio than the file holds.
  return {std::min(position, m_duration), ended || position >= m_duration};
}

void AudioPlayerService::play() {
  if (m_loading) {
    m_playOnLoad = true;
    return;
  }
  if (!m_isLoaded) {
    return;
  }
  if (!m_isPlaying) {
    const auto [position, ended] = playbackPosition();
    startPlayback(ended ? 0.0 : position);
  }
  setIsPlaying(true);
  startTimer();
}

void AudioPlayerService::pause() {
  m_playOnLoad = false;
  if (m_isPlaying) {
    m_clockBase = playbackPosition().first;
    ++m_command;
    m_output->pause();
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
  if (m_output && m_isLoaded) m_output->close();
  ++m_command;
  m_clockBase = 0;
  m_path.clear();
  setIsPlaying(false);
  setCurrentTime(0);
  setDuration(0);
  setIsLoaded(false);
  stopTimer();
}

void AudioPlayerService::unload() {
  stop();
}

void AudioPlayerService::seek(double time) {
  if (m_loading) {
    m_seekOnLoad = std::max(0.0, time);
    setCurrentTime(*m_seekOnLoad);
    return;
  }
  const double clamped = std::max(0.0, std::min(time, m_duration));
  if (m_isLoaded) {
    if (m_isPlaying) {
      startPlayback(clamped);
    } else {
      m_clockBase = clamped;
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
    m_volume = muted ? 0.0 : 1.0;
    m_output->setVolume(m_volume);
  }
}

double AudioPlayerService::playerPosition() const {
  return m_isLoaded ? playbackPosition().first : 0.0;
}

double AudioPlayerService::playerVolume() const {
  return m_volume;
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
  if (!m_isLoaded || !m_isPlaying) {
    return;
  }
  const auto [position, ended] = playbackPosition();
  // The output's first reading may lie a little behind the clock that stood in for it: the
  // position never steps back within one playback.
  setCurrentTime(std::max(position, m_currentTime));
  // The output stops by itself at the end of the file; the next tick notices.
  if (ended) {
    m_clockBase = m_currentTime;
    ++m_command;
    m_output->pause();
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
