#pragma once

// Sound for the player's tests: whether the process has an audio output (tools/with-test-session
// starts a private PulseAudio server with a null sink for the suite), and a server of a test's
// own (tools/sound-server) for what a shared one cannot give: a recording of only this test's
// sound, or a server the test may kill.

#include "support/QtWait.h"

#include <QAudioDevice>
#include <QFile>
#include <QMediaDevices>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <vector>

namespace testsupport {

inline bool haveSoundOutput() {
  return !QMediaDevices::defaultAudioOutput().isNull();
}

// Skips a test that needs a sound output when there is none, saying how to get one.
#define PV_SKIP_WITHOUT_SOUND_OUTPUT()                                                                      \
  if (!testsupport::haveSoundOutput())                                                                      \
  GTEST_SKIP() << "No sound output: run the tests through tools/with-test-session, which starts a private " \
                  "PulseAudio server with a null sink (tools/install-deps installs pulseaudio)"

class PrivateSoundServer {
 public:
  PrivateSoundServer() {
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.start(QStringLiteral("bash"), {QStringLiteral(PV_SOURCE_DIR "/tools/sound-server"), m_folder.path()});
    m_started =
        waitUntil([this] { return QFile::exists(socket()) || m_server.state() == QProcess::NotRunning; }, 20000) &&
        QFile::exists(socket());
  }
  ~PrivateSoundServer() { kill(); }
  PrivateSoundServer(const PrivateSoundServer&) = delete;
  PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

  bool isRunning() const { return m_started && m_server.state() == QProcess::Running; }
  QString log() { return QString::fromLocal8Bit(m_server.readAll()); }
  qint64 pid() const { return m_server.processId(); }
  // The environment of a client of this server.
  QProcessEnvironment clientEnvironment(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const {
    base.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + socket());
    base.insert(QStringLiteral("PULSE_COOKIE"), m_folder.filePath(QStringLiteral("cookie")));
    return base;
  }
  void kill() {
    if (m_server.state() == QProcess::NotRunning) return;
    m_server.kill();
    m_server.waitForFinished(10000);
  }

 private:
  QString socket() const { return m_folder.filePath(QStringLiteral("native")); }

  QTemporaryDir m_folder;
  QProcess m_server;
  bool m_started = false;
};

// Records what the default output of the server in this process's environment plays (its
// monitor), as 16-bit mono at 8 kHz, from start() until rms() is asked.
class OutputRecording {
 public:
  bool start() {
    m_parec.start(QStringLiteral("parec"),
                  {QStringLiteral("--device=null.monitor"), QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                   QStringLiteral("--rate=8000"), QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20")});
    return m_parec.waitForStarted(10000);
  }
  ~OutputRecording() {
    m_parec.kill();
    m_parec.waitForFinished(10000);
  }
  // The loudness (0 ... 1) of what was recorded since the last call.
  double rms() {
    m_parec.waitForReadyRead(200);
    const QByteArray bytes = m_parec.readAllStandardOutput();
    const qsizetype samples = bytes.size() / 2;
    if (samples == 0) return 0;
    double sum = 0;
    for (qsizetype i = 0; i < samples; ++i) {
      const double value = qFromLittleEndian<qint16>(bytes.constData() + 2 * i) / 32768.0;
      sum += value * value;
    }
    return std::sqrt(sum / double(samples));
  }

 private:
  QProcess m_parec;
};

}  // namespace testsupport
