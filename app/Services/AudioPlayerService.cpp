#include "Services/AudioPlayerService.h"

#include "Services/PlaybackDecoder.h"

#include <QAudioFormat>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <mutex>
#include <thread>
#include <utility>

namespace parlowvista {

// What a load's thread hands back to the main thread: the file's length, or why it cannot be
// played, and what the user should know of a file that plays.
struct AudioPlayerService::PreparedFile {
  QString error;
  double duration = 0;  // seconds
  QString note;
  std::shared_ptr<const voxtrellis::SoundPlaces> places;  // the loader's, where they fit the file
};

// The service while it exists, for the threads of its loads: they post their outcome through
// it, and once the service is gone nothing more.
struct AudioPlayerService::LoadRelay {
  std::mutex lock;
  AudioPlayerService* service = nullptr;
};

namespace {

constexpr int kTickMilliseconds = 100;
// Sound that ends this much before the length the player was given ends early: the file holds
// less than it did (a decoder's padding or a header's rounding are far less).
constexpr double kEarlyEndSeconds = 0.25;

QString endsEarly(const QString& path) {
  return QStringLiteral("The sound of %1 ends early: the file may have changed since it was opened")
      .arg(QFileInfo(path).fileName());
}

// Whether the decoder gives any sound from where it stands. Throws PlaybackError when decoding
// fails before it gives any.
bool decodesSound(PlaybackDecoder& decoder) {
  QByteArray sound;
  while (sound.isEmpty() && decoder.decode(sound, decoder.format().bytesPerFrame())) {
  }
  if (sound.isEmpty() && decoder.stoppedOnError()) throw PlaybackError(decoder.stopReason());
  return !sound.isEmpty();
}

// Looks into the file as playback will: that its decoder opens and gives some sound (a file cut
// short after its header gives none), whether the loader's places fit it, and its length:
// `decodedDuration` when given, unless the file now states a shorter one that it holds exactly,
// with sound where that one ends and none where the given one does (a WAV cut short since it
// was decoded). Throws PlaybackError with the reason.
AudioPlayerService::PreparedFile probe(const QString& path, std::optional<double> decodedDuration,
                                       std::shared_ptr<const voxtrellis::SoundPlaces> places) {
  PlaybackDecoder decoder(path, AudioPlayerService::probeFormat(), places);
  if (!decodesSound(decoder)) {
    throw PlaybackError(QStringLiteral("Cannot play %1: it holds no sound").arg(QFileInfo(path).fileName()));
  }
  AudioPlayerService::PreparedFile prepared;
  if (decoder.seeksByLoadersPlaces()) prepared.places = std::move(places);
  const double announced = decoder.announcedDuration();
  prepared.duration = decodedDuration && *decodedDuration > 0 ? *decodedDuration : announced;
  if (decoder.announcesExactly() && announced > 0 && announced < prepared.duration - kEarlyEndSeconds) {
    const auto soundAt = [&](double seconds) {
      decoder.seek(seconds);
      return decodesSound(decoder);
    };
    if (!soundAt(prepared.duration - kEarlyEndSeconds) && soundAt(std::max(0.0, announced - kEarlyEndSeconds))) {
      prepared.duration = announced;
      prepared.note = endsEarly(path);
    }
  }
  return prepared;
}

}  // namespace

QAudioFormat AudioPlayerService::probeFormat() {
  QAudioFormat format;
  format.setSampleRate(48000);
  format.setChannelCount(2);
  format.setSampleFormat(QAudioFormat::Float);
  return format;
}

AudioPlayerService::AudioPlayerService(QObject* parent) : QObject(parent), m_relay(std::make_shared<LoadRelay>()) {
  m_relay->service = this;
}

AudioPlayerService::~AudioPlayerService() {
  {
    const std::lock_guard lock(m_relay->lock);
    m_relay->service = nullptr;
  }
  if (m_loadCancelled) *m_loadCancelled = true;
  releaseOutput();
  stopTimer();
}

void AudioPlayerService::load(const QUrl& url, LoadFinished finished, std::optional<double> decodedDuration,
                              PlacesSource places) {
  stop();
  const QString path = url.isLocalFile() ? url.toLocalFile() : url.toString();

  m_loading = true;
  m_loadPath = path;
  m_loadFinished = std::move(finished);
  const quint64 generation = m_loadGeneration;
  auto cancelled = m_loadCancelled = std::make_shared<std::atomic_bool>(false);
  // A thread of its own that nobody joins: an open that never returns (a FIFO slipped past the
  // check, a hung network mount) holds only that thread, never the application's end or a
  // later load.
  std::thread([relay = m_relay, path, cancelled, decodedDuration, places = std::move(places), generation] {
    PreparedFile prepared;
    if (!*cancelled) {
      try {
        prepared = probe(path, decodedDuration, places ? places() : nullptr);
      } catch (const std::exception& error) {
        prepared.error = QString::fromUtf8(error.what());
      }
    }
    const std::lock_guard lock(relay->lock);
    if (AudioPlayerService* service = relay->service) {
      // Handed over as the sound thread's calls are (SoundOutput::handOffLock()).
      const std::lock_guard handing(SoundOutput::handOffLock());
      QMetaObject::invokeMethod(
          service,
          [service, generation, prepared] {
            { const std::lock_guard taken(SoundOutput::handOffLock()); }
            service->finishLoad(generation, prepared);
          },
          Qt::QueuedConnection);
    }
  }).detach();
}

void AudioPlayerService::finishLoad(quint64 generation, const PreparedFile& prepared) {
  if (generation != m_loadGeneration || !m_loading) return;
  m_loading = false;
  const LoadFinished finished = std::exchange(m_loadFinished, {});
  if (prepared.error.isEmpty()) {
    m_path = m_loadPath;
    attach(prepared);
  } else {
    m_seekOnLoad.reset();
    m_playOnLoad = false;
    setCurrentTime(0);
    sayOfFile(prepared.error);
  }
  if (finished) finished(prepared.error);
}

void AudioPlayerService::attach(const PreparedFile& prepared) {
  m_output = new SoundOutput;
  connect(m_output, &SoundOutput::fileFailed, this, &AudioPlayerService::onFileFailed);
  connect(m_output, &SoundOutput::outputFailed, this, &AudioPlayerService::onOutputFailed);
  m_output->open(m_path, prepared.places);
  m_seeksByPlaces = prepared.places != nullptr;
  m_volume = m_isMuted ? 0.0 : 1.0;
  m_output->setVolume(m_volume);
  setDuration(prepared.duration);
  setCurrentTime(0);
  setIsLoaded(true);
  sayOfFile(prepared.note);
  if (const auto position = std::exchange(m_seekOnLoad, std::nullopt)) seek(*position);
  if (std::exchange(m_playOnLoad, false)) play();
}

void AudioPlayerService::releaseOutput() {
  if (m_output) m_output->release();
  m_output = nullptr;
}

// A signal from an output let go since (by stop() or a load): what it says is of another file.
// Its connection went with it, so its sender reads as none, which is also no output at all.
bool AudioPlayerService::isLetGo(const QObject* sender) const {
  return !m_output || sender != m_output;
}

// The file's sound cannot be played (it opened for the look before loading, and not now, or
// stopped decoding): playback stops where it was, and the reason stands.
void AudioPlayerService::onFileFailed(quint64 command, const QString& reason) {
  { const std::lock_guard taken(SoundOutput::handOffLock()); }
  if (isLetGo(sender())) return;
  sayOfFile(reason);
  if (command != 0 && command == m_command && m_isPlaying) pause();
}

// Nothing is heard, but the file is fine: the player's own clock plays on from where the
// output got to, as on a machine without sound.
void AudioPlayerService::onOutputFailed(quint64 command, const QString& reason) {
  { const std::lock_guard taken(SoundOutput::handOffLock()); }
  if (isLetGo(sender())) return;
  sayOfOutput(QStringLiteral("No sound: %1").arg(reason));
  if (command == 0 || command != m_command || !m_isPlaying) return;
  playOnWithoutOutput();
}

void AudioPlayerService::playOnWithoutOutput() {
  m_clockBase = playbackPosition().first;
  m_clockStart.start();
  m_heard.reset();
  ++m_command;
}

void AudioPlayerService::supersedeLoad() {
  ++m_loadGeneration;
  m_loading = false;
  m_seekOnLoad.reset();
  m_playOnLoad = false;
  if (m_loadCancelled) *m_loadCancelled = true;
}

void AudioPlayerService::startPlayback(double seconds) {
  m_playedFrom = seconds;
  m_clockBase = seconds;
  m_playbackFloor = seconds;
  m_heard.reset();
  m_clockStart.start();
  m_output->play(++m_command, seconds);
}

std::pair<double, bool> AudioPlayerService::playbackPosition() const {
  return playbackPosition(m_isPlaying && m_output ? m_output->playedPosition(m_command) : std::nullopt);
}

std::pair<double, bool> AudioPlayerService::playbackPosition(const std::optional<SoundOutput::Played>& played) const {
  if (!m_isPlaying) return {m_clockBase, m_clockBase >= m_duration};
  // Never past the end: a header may promise more audio than the file holds.
  if (!played) {
    const double position = m_clockBase + double(m_clockStart.nsecsElapsed()) / 1e9;
    return {std::min(position, m_duration), position >= m_duration};
  }
  // With an output, the end is what it played, not the guess since its last reading: stopped by
  // the guess, its last sound would go unheard.
  return {std::min(played->position, m_duration), played->ended || played->reading >= m_duration};
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
    if (ended) setCurrentTime(0);
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
  releaseOutput();
  ++m_command;
  m_clockBase = 0;
  m_path.clear();
  setIsPlaying(false);
  setCurrentTime(0);
  setDuration(0);
  setIsLoaded(false);
  stopTimer();
  m_fileProblem.clear();
  m_outputProblem.clear();
  showProblem(QString());
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

std::optional<double> AudioPlayerService::heardPosition() const {
  return m_isPlaying ? m_heard : std::nullopt;
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
  // One reading serves the whole tick: the sound thread may report meanwhile, and a later
  // reading read for the position could say the file ended where this one saw no early end.
  auto played = m_output ? m_output->playedPosition(m_command) : std::nullopt;
  if (played && played->unanswered) {
    // The output is held up in the audio system: the clock plays on without it, and the output
    // is told to stop, so that it does not sound on its own once the audio system answers.
    sayOfOutput(QStringLiteral("No sound: %1").arg(SoundOutput::stoppedTakingSound()));
    playOnWithoutOutput();
    m_output->pause();
    played.reset();
  } else if (played && played->taking && !m_outputProblem.isEmpty()) {
    // Sound heard again: whatever kept it from the output is over.
    sayOfOutput(QString());
  }
  if (played && played->ended && played->position < m_duration - kEarlyEndSeconds) {
    endEarly(played->position);
    return;
  }
  const auto [position, ended] = playbackPosition(played);
  m_heard = played ? std::optional(played->reading) : std::nullopt;
  // A played-out file ends at its full length: the output's last reading lies a little short
  // of it, by what was still in the output's buffer.
  m_playbackFloor = ended ? m_duration : std::max(position, m_playbackFloor);
  setCurrentTime(m_playbackFloor);
  // The output stops by itself at the end of the file; the next tick notices.
  if (ended) {
    m_clockBase = m_duration;
    ++m_command;
    if (m_output) m_output->pause();
    setIsPlaying(false);
    stopTimer();
  }
}

// The file's sound ended at `end`, well before its length: it holds less than it did. Playback
// stops where the sound did; the length becomes what was heard when some was, and the user is
// told either way.
void AudioPlayerService::endEarly(double end) {
  ++m_command;
  m_output->pause();
  setIsPlaying(false);
  stopTimer();
  if (end > m_playedFrom) {
    m_clockBase = end;
    setDuration(end);
    sayOfFile(endsEarly(m_path));
  } else {
    m_clockBase = m_playedFrom;
    sayOfFile(QStringLiteral("Nothing of %1 plays from here: the file may have changed since it was opened")
                  .arg(QFileInfo(m_path).fileName()));
  }
  setCurrentTime(m_clockBase);
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

// The latest said is shown; once what the output said is over, what was said of the file shows
// again.
void AudioPlayerService::sayOfFile(const QString& problem) {
  m_fileProblem = problem;
  showProblem(problem.isEmpty() ? m_outputProblem : problem);
}

void AudioPlayerService::sayOfOutput(const QString& problem) {
  m_outputProblem = problem;
  showProblem(problem.isEmpty() ? m_fileProblem : problem);
}

void AudioPlayerService::showProblem(const QString& problem) {
  if (problem == m_problem) return;
  m_problem = problem;
  emit problemChanged(problem);
}

}  // namespace parlowvista
