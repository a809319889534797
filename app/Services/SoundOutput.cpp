#include "Services/SoundOutput.h"

#include "Services/PlaybackStream.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QCoreApplication>
#include <QDebug>
#include <QMediaDevices>
#include <QPointer>
#include <QSemaphore>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <exception>
#include <set>
#include <utility>

namespace parlowvista {

namespace {

constexpr int kPollMilliseconds = 50;
// Between two readings the position moves on with the clock, but never further than this: an
// output that stalls holds the position rather than running off.
constexpr double kLongestGuessSeconds = 0.25;
// The sink's own buffer: fixed for every start, about seven of its 20 ms periods.
constexpr qint64 kSinkBufferMicroseconds = 150000;
// A sink idle while the stream holds sound is given more at once; after this many polls
// without anything heard it is replaced, and after so many replacements the output is given up.
constexpr int kDryPollsBeforeRestart = 20;
// A sink that says it is playing while what it has played stands still (a sound server stopped
// or hung, a device that stops taking sound) is replaced after this many polls: past a slow
// start on a busy machine, yet short enough that a few replacements are given up within
// seconds rather than a quarter of a minute.
constexpr int kStillPollsBeforeRestart = 20;
constexpr int kMostRestarts = 3;
// What the output has played counts as all it was fed within this much (their clocks round apart).
constexpr double kPlayedOutSeconds = 0.005;
// A new sink says it has played what it took into its own buffer even where the device takes
// nothing (a suspended sink plays about 80 ms, then stands still): only what is heard past this
// shows that a replacement helped.
constexpr double kSinkStartSeconds = double(kSinkBufferMicroseconds) / 1e6;
// A reading older than this while playing: the sound thread is held up in the audio system
// (starting a sink on a stopped server waits for it), so the output is not heard.
constexpr double kUnansweredSeconds = 3.0;
// How long the application's end waits for the sound thread to let its sinks go.
constexpr int kShutDownMilliseconds = 5000;

QThread* g_soundThread = nullptr;
std::set<SoundOutput*>* g_outputs = nullptr;  // the sound thread's live outputs; that thread only

qint64 steadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

QString describe(QAudio::Error error) {
  switch (error) {
    case QAudio::OpenError: return QStringLiteral("the audio output could not be opened");
    case QAudio::IOError: return SoundOutput::stoppedTakingSound();
    case QAudio::FatalError: return QStringLiteral("the audio output is not available");
    default: return QStringLiteral("the audio output stopped");
  }
}

}  // namespace

// Runs among QCoreApplication's post routines, on the UI thread: the sinks and streams go on
// the sound thread while the audio system still stands, then the thread ends. A thread that
// does not answer (stuck reading a file) is left behind rather than waited on for good.
void shutDownSoundThread() {
  if (!g_soundThread) return;
  // Shared: a task that runs after the wait gave up must not release a semaphore gone with it.
  auto done = std::make_shared<QSemaphore>();
  auto* task = new QObject;
  task->moveToThread(g_soundThread);
  {
    const std::lock_guard handing(SoundOutput::handOffLock());
    QMetaObject::invokeMethod(
        task,
        [task, done] {
          { const std::lock_guard taken(SoundOutput::handOffLock()); }
          // One at a time, taken out first: letting one go may delete others.
          while (g_outputs && !g_outputs->empty()) {
            SoundOutput* output = *g_outputs->begin();
            g_outputs->erase(g_outputs->begin());
            output->shutDownHere();
          }
          // Sinks stopped earlier wait for the event loop to delete them: not past this point.
          QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
          delete task;
          done->release();
        },
        Qt::QueuedConnection);
  }
  const bool answered = done->tryAcquire(1, kShutDownMilliseconds);
  g_soundThread->quit();
  if (answered && g_soundThread->wait(kShutDownMilliseconds)) {
    delete g_soundThread;
  } else {
    qWarning() << "[SoundOutput] The sound thread did not end; it is left behind";
  }
  g_soundThread = nullptr;
}

namespace {

// One thread serves every output of the process; it sleeps in its event loop when nothing plays.
QThread* soundThread() {
  if (!g_soundThread) {
    g_soundThread = new QThread;
    g_soundThread->setObjectName(QStringLiteral("sound output"));
    g_soundThread->start();
    qAddPostRoutine(shutDownSoundThread);
  }
  return g_soundThread;
}

}  // namespace

SoundOutput::SoundOutput() {
  moveToThread(soundThread());
}

void SoundOutput::open(const QString& path, std::shared_ptr<const voxtrellis::SoundPlaces> places) {
  send(Command{Command::Kind::open, 0, 0, path, std::move(places)});
}

SoundOutput::~SoundOutput() {
  { const std::lock_guard taken(handOffLock()); }
  if (g_outputs) g_outputs->erase(this);
  // Nothing more of its own runs, also not from the events a sink's deletion runs.
  QCoreApplication::removePostedEvents(this);
  shutDownHere();
}

void SoundOutput::play(quint64 command, double seconds) {
  report(0, 0, false);
  send(Command{Command::Kind::play, command, seconds, {}, {}});
}

void SoundOutput::pause() {
  report(0, 0, false);
  send(Command{Command::Kind::pause, 0, 0, {}, {}});
}

void SoundOutput::setVolume(double volume) {
  send(Command{Command::Kind::volume, 0, volume, {}, {}});
}

void SoundOutput::release() {
  report(0, 0, false);
  // Nothing said from now on reaches anyone: signals already queued are dropped with their
  // receivers' connections.
  disconnect(this, nullptr, nullptr, nullptr);
  const std::lock_guard lock(handOffLock());
  deleteLater();
}

QString SoundOutput::stoppedTakingSound() {
  return QStringLiteral("the audio output stopped taking sound");
}

std::mutex& SoundOutput::handOffLock() {
  static std::mutex lock;
  return lock;
}

// The command waits in the queue; the call that carries it out is asked for by name, so that
// nothing of ours crosses the threads inside Qt's queued call.
void SoundOutput::send(Command command) {
  {
    const std::lock_guard lock(m_commandsLock);
    m_commands.push_back(std::move(command));
  }
  QMetaObject::invokeMethod(this, "runCommands", Qt::QueuedConnection);
}

void SoundOutput::runCommands() {
  for (;;) {
    Command next;
    {
      const std::lock_guard lock(m_commandsLock);
      if (m_commands.empty()) return;
      next = std::move(m_commands.front());
      m_commands.pop_front();
    }
    switch (next.kind) {
      case Command::Kind::open: openHere(next.path, next.places); break;
      case Command::Kind::play: playHere(next.command, next.value); break;
      case Command::Kind::pause: stopHere(); break;
      case Command::Kind::volume:
        m_volume = next.value;
        if (m_sink) m_sink->setVolume(m_volume);
        break;
    }
  }
}

void SoundOutput::tell(bool fileAtFault, quint64 command, const QString& reason) {
  const std::lock_guard lock(handOffLock());
  if (fileAtFault) {
    emit fileFailed(command, reason);
  } else {
    emit outputFailed(command, reason);
  }
}

std::optional<SoundOutput::Played> SoundOutput::playedPosition(quint64 command) const {
  const std::lock_guard lock(m_reportLock);
  if (command == 0 || m_report.command != command) return std::nullopt;
  double position = m_report.position;
  const double since = double(steadyNanoseconds() - m_report.atNanoseconds) / 1e9;
  if (!m_report.ended) position += std::clamp(since, 0.0, kLongestGuessSeconds);
  const bool unanswered = !m_report.ended && since > kUnansweredSeconds;
  return Played{position, m_report.ended, m_report.position, unanswered, m_report.taking};
}

void SoundOutput::openHere(const QString& path, std::shared_ptr<const voxtrellis::SoundPlaces> places) {
  if (!g_outputs) g_outputs = new std::set<SoundOutput*>;
  g_outputs->insert(this);
  m_path = path;
  m_places = std::move(places);
  if (!QMediaDevices::defaultAudioOutput().isNull()) openStream(0);
}

// The file, decoded for the default output as it is now; opened again when the output's format
// has changed (a sound server started again). False when it cannot be opened, which is told.
bool SoundOutput::openStream(quint64 command) {
  QAudioFormat format = QMediaDevices::defaultAudioOutput().preferredFormat();
  if (format.sampleFormat() != QAudioFormat::Int32 && format.sampleFormat() != QAudioFormat::Float) {
    format.setSampleFormat(QAudioFormat::Int16);
  }
  if (m_stream && format == m_format) return true;
  m_stream.reset();
  m_format = format;
  try {
    m_stream = std::make_unique<PlaybackStream>(m_path, m_format, m_places);
    return true;
  } catch (const std::exception& error) {
    qWarning().noquote() << "[SoundOutput]" << error.what();
    tell(true, command, QString::fromUtf8(error.what()));
    return false;
  }
}

// Each Play looks for the output again: one that was missing, or went away, may be back.
void SoundOutput::playHere(quint64 command, double seconds) {
  stopHere();
  if (QMediaDevices::defaultAudioOutput().isNull()) {
    tell(false, command, describe(QAudio::FatalError));
    return;
  }
  if (!openStream(command)) return;
  m_playing = command;
  m_restarts = 0;
  startSink(seconds);
}

// A new sink from `seconds` on, for the command being played. No exception leaves here: a
// file that cannot be read again stops the playback and says why.
void SoundOutput::startSink(double seconds) {
  retireSink();
  try {
    m_stream->seek(seconds);
  } catch (const std::exception& error) {
    const quint64 command = std::exchange(m_playing, 0);
    tell(true, command, QString::fromUtf8(error.what()));
    return;
  }
  m_stream->fill();
  if (!m_stream->failure().isEmpty() && m_stream->isExhausted()) {
    const quint64 command = std::exchange(m_playing, 0);
    tell(true, command, m_stream->failure());
    return;
  }
  const QAudioDevice device = QMediaDevices::defaultAudioOutput();
  m_playedFrom = seconds;
  m_lastHeard = seconds;
  m_dryPolls = 0;
  m_stillPolls = 0;
  if (device.isNull()) {
    const quint64 command = std::exchange(m_playing, 0);
    tell(false, command, describe(QAudio::FatalError));
    return;
  }
  m_sink = new QAudioSink(device, m_format);
  m_sink->setBufferSize(m_format.bytesForDuration(kSinkBufferMicroseconds));
  m_sink->setVolume(m_volume);
  m_sink->start(m_stream.get());
  if (m_sink->state() == QAudio::StoppedState) {
    const QString reason = describe(m_sink->error());
    retireSink();
    const quint64 command = std::exchange(m_playing, 0);
    tell(false, command, reason);
    return;
  }
  // The sink may say so from the audio system's thread: the call is queued, and the sink may be
  // gone by the time it runs.
  const QPointer<QAudioSink> sink = m_sink;
  connect(sink, &QAudioSink::stateChanged, this, [this, sink](QAudio::State state) {
    if (!sink || sink != m_sink || !m_playing || state != QAudio::StoppedState || sink->error() == QAudio::NoError) {
      return;
    }
    qWarning() << "[SoundOutput] The audio output stopped:" << sink->error();
    const QString reason = describe(sink->error());
    const quint64 command = m_playing;
    stopHere();
    tell(false, command, reason);
  });
  if (!m_poll) {
    m_poll = new QTimer(this);
    m_poll->setInterval(kPollMilliseconds);
    connect(m_poll, &QTimer::timeout, this, &SoundOutput::readPosition);
  }
  m_poll->start();
}

void SoundOutput::stopHere() {
  if (m_poll) m_poll->stop();
  retireSink();
  m_playing = 0;
}

// The sink is deleted from the event loop, never in the middle of a command: the audio
// system's sink runs the thread's pending events while it is deleted.
void SoundOutput::retireSink() {
  if (!m_sink) return;
  m_sink->disconnect(this);
  m_sink->stop();
  m_sink->deleteLater();
  m_sink = nullptr;
}

// At the application's end or the object's: nothing is left for the event loop. Deleting a sink
// runs the thread's pending events (the audio system's sink does), which may delete other
// outputs, or this one: that deletion comes last.
void SoundOutput::shutDownHere() {
  if (m_poll) m_poll->stop();
  m_playing = 0;
  QAudioSink* sink = std::exchange(m_sink, nullptr);
  if (sink) {
    sink->disconnect(this);
    sink->stop();
  }
  m_stream.reset();
  delete sink;
}

void SoundOutput::readPosition() {
  if (!m_playing || !m_sink) return;
  const double fed = m_stream->position();
  const double heard = std::min(m_playedFrom + double(m_sink->processedUSecs()) / 1e6, fed);
  const bool taking = heard > m_playedFrom + kSinkStartSeconds;
  if (m_stream->isExhausted()) {
    // The stream has given its last sound. The sink goes idle as soon as it finds nothing more to
    // read, with what it wrote last still in the sound server (stopped then, the last 15 to 55 ms
    // of a file went unheard): playback ends once that has been heard too, or once the output
    // plays no more of it. A file that stopped decoding says why then.
    m_stillPolls = heard > m_lastHeard ? 0 : m_stillPolls + 1;
    m_lastHeard = std::max(m_lastHeard, heard);
    if (heard < fed - kPlayedOutSeconds && m_stillPolls < kStillPollsBeforeRestart) {
      report(m_playing, heard, false, taking);
      return;
    }
    const quint64 command = m_playing;
    const QString failure = m_stream->failure();
    report(command, heard, failure.isEmpty(), taking);
    stopHere();
    if (!failure.isEmpty()) tell(true, command, failure);
    return;
  }
  report(m_playing, heard, false, taking);
  watchForDrySink(heard, taking);
}

// A sink idle while the stream holds sound is fed again; one that stays so, or one that plays
// nothing while it says it is active, is replaced from where it got to, and after a few
// replacements that did not help (none `taking`) the output is given up.
void SoundOutput::watchForDrySink(double heard, bool taking) {
  const bool waiting = m_stream->bytesAvailable() > 0;
  const bool dry = m_sink->state() == QAudio::IdleState && waiting;
  if (heard > m_lastHeard) {
    m_lastHeard = heard;
    m_stillPolls = 0;
  } else if (waiting) {
    ++m_stillPolls;
  }
  if (taking) m_restarts = 0;
  m_dryPolls = dry ? m_dryPolls + 1 : 0;
  if (dry && m_dryPolls < kDryPollsBeforeRestart) {
    emit m_stream->readyRead();
    return;
  }
  if (!dry && m_stillPolls < kStillPollsBeforeRestart) return;
  if (++m_restarts > kMostRestarts) {
    const quint64 command = m_playing;
    stopHere();
    tell(false, command, describe(QAudio::IOError));
    return;
  }
  qWarning().noquote() << QStringLiteral("[SoundOutput] The audio output %1; starting it again at %2")
                              .arg(dry ? QStringLiteral("ran dry") : QStringLiteral("stands still"))
                              .arg(heard);
  startSink(heard);
}

void SoundOutput::report(quint64 command, double position, bool ended, bool taking) {
  const std::lock_guard lock(m_reportLock);
  m_report = Report{command, position, steadyNanoseconds(), ended, taking};
}

}  // namespace parlowvista
