#include "Services/SoundOutput.h"

#include "Services/PlaybackStream.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QCoreApplication>
#include <QDebug>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>

namespace parlowvista {

namespace {

constexpr int kPollMilliseconds = 50;
// Between two readings the position moves on with the clock, but never further than this: an
// output that stalls holds the position rather than running off.
constexpr double kLongestGuessSeconds = 0.25;

QThread* g_soundThread = nullptr;

// Ends the sound thread with the application. A thread stuck in the audio system is left
// behind rather than waited on for good.
void endSoundThread() {
  if (!g_soundThread) return;
  g_soundThread->quit();
  if (g_soundThread->wait(2000)) delete g_soundThread;
  g_soundThread = nullptr;
}

// One thread serves every output of the process; it sleeps in its event loop when nothing plays.
QThread* soundThread() {
  if (!g_soundThread) {
    g_soundThread = new QThread;
    g_soundThread->setObjectName(QStringLiteral("sound output"));
    g_soundThread->start();
    qAddPostRoutine(endSoundThread);
  }
  return g_soundThread;
}

qint64 steadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

SoundOutput::SoundOutput() {
  moveToThread(soundThread());
}

SoundOutput::~SoundOutput() {
  retire();
}

void SoundOutput::open(const QString& path) {
  report(0, 0, false);
  QMetaObject::invokeMethod(
      this, [this, path] { openHere(path); }, Qt::QueuedConnection);
}

void SoundOutput::play(quint64 command, double seconds) {
  report(0, 0, false);
  QMetaObject::invokeMethod(
      this, [this, command, seconds] { playHere(command, seconds); }, Qt::QueuedConnection);
}

void SoundOutput::pause() {
  report(0, 0, false);
  QMetaObject::invokeMethod(
      this, [this] { stopHere(); }, Qt::QueuedConnection);
}

void SoundOutput::setVolume(double volume) {
  QMetaObject::invokeMethod(
      this,
      [this, volume] {
        m_volume = volume;
        if (m_sink) m_sink->setVolume(volume);
      },
      Qt::QueuedConnection);
}

void SoundOutput::close() {
  report(0, 0, false);
  QMetaObject::invokeMethod(
      this, [this] { retire(); }, Qt::QueuedConnection);
}

void SoundOutput::release() {
  report(0, 0, false);
  deleteLater();
}

std::optional<SoundOutput::Played> SoundOutput::playedPosition(quint64 command) const {
  const std::lock_guard lock(m_reportLock);
  if (command == 0 || m_report.command != command) return std::nullopt;
  double position = m_report.position;
  if (!m_report.ended) {
    const double since = double(steadyNanoseconds() - m_report.atNanoseconds) / 1e9;
    position += std::clamp(since, 0.0, kLongestGuessSeconds);
  }
  return Played{position, m_report.ended};
}

// The sink is deleted from the event loop, never in the middle of a command: the audio system's
// sink runs the thread's pending events while it is deleted.
void SoundOutput::retire() {
  stopHere();
  if (m_sink) m_sink->deleteLater();
  m_sink = nullptr;
  m_stream = nullptr;
}

void SoundOutput::openHere(const QString& path) {
  retire();
  const QAudioDevice device = QMediaDevices::defaultAudioOutput();
  if (device.isNull()) return;
  QAudioFormat format = device.preferredFormat();
  if (format.sampleFormat() != QAudioFormat::Int32 && format.sampleFormat() != QAudioFormat::Float) {
    format.setSampleFormat(QAudioFormat::Int16);
  }
  std::unique_ptr<PlaybackStream> stream;
  try {
    stream = std::make_unique<PlaybackStream>(path, format);
  } catch (const std::exception& error) {
    qWarning().noquote() << "[SoundOutput]" << error.what();
    return;
  }
  // The sink owns the stream it reads: both go together.
  auto* sink = new QAudioSink(device, format);
  stream->setParent(sink);
  m_stream = stream.release();
  m_sink = sink;
  m_sink->setVolume(m_volume);
  // An output that fails leaves the position to the player's own clock.
  connect(sink, &QAudioSink::stateChanged, sink, [this, sink](QAudio::State state) {
    if (sink == m_sink && state == QAudio::StoppedState && sink->error() != QAudio::NoError && m_playing) {
      qWarning() << "[SoundOutput] The audio output stopped:" << sink->error();
      stopHere();
    }
  });
}

void SoundOutput::playHere(quint64 command, double seconds) {
  stopHere();
  if (!m_sink || !m_stream) return;
  m_stream->seek(seconds);
  m_playing = command;
  m_playedFrom = seconds;
  m_sink->start(m_stream);
  if (!m_poll) {
    m_poll = new QTimer(this);
    m_poll->setInterval(kPollMilliseconds);
    connect(m_poll, &QTimer::timeout, this, &SoundOutput::readPosition);
  }
  m_poll->start();
}

void SoundOutput::stopHere() {
  if (m_poll) m_poll->stop();
  if (m_sink && m_sink->state() != QAudio::StoppedState) m_sink->stop();
  m_playing = 0;
}

void SoundOutput::readPosition() {
  if (!m_playing || !m_sink) return;
  const double fed = m_stream->position();
  const double heard = std::min(m_playedFrom + double(m_sink->processedUSecs()) / 1e6, fed);
  // The last sample has been heard once the stream has none left and the output has run dry.
  const bool ended = m_stream->isExhausted() && (m_sink->state() == QAudio::IdleState || heard >= fed - 0.005);
  report(m_playing, heard, ended);
  if (ended) stopHere();
}

void SoundOutput::report(quint64 command, double position, bool ended) {
  const std::lock_guard lock(m_reportLock);
  m_report = Report{command, position, steadyNanoseconds(), ended};
}

}  // namespace parlowvista
