#pragma once

// Sound for the player's tests: whether the process has an audio output (tools/with-test-session
// starts a private PulseAudio server with a null sink for the suite), and a server of a test's
// own (tools/sound-server) for what a shared one cannot give: a recording of only this test's
// sound, or a server the test may kill. Programs are started with posix_spawn (Spawn.h), so that
// these tests also run under ThreadSanitizer.

#include "support/ChildTestRun.h"
#include "support/QtWait.h"
#include "support/Spawn.h"
#include "support/TempDir.h"

#include <QAudioDevice>
#include <QCoreApplication>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <optional>
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
  PrivateSoundServer()
      : m_server(QStringLiteral("bash"), {QStringLiteral(PV_SOURCE_DIR "/tools/sound-server"), m_folder.path()},
                 m_folder.filePath(QStringLiteral("server.log"))) {
    m_started = waitUntil([this] { return QFile::exists(socket()) || !m_server.isRunning(); }, 20000) &&
                QFile::exists(socket());
  }
  PrivateSoundServer(const PrivateSoundServer&) = delete;
  PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

  bool isRunning() { return m_started && m_server.isRunning(); }
  QString log() const {
    QFile file(m_folder.filePath(QStringLiteral("server.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
  }
  qint64 pid() const { return m_server.pid(); }  // the server's own: the script runs it in its place
  // The environment of a client of this server.
  QProcessEnvironment clientEnvironment(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const {
    base.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + socket());
    base.insert(QStringLiteral("PULSE_COOKIE"), m_folder.filePath(QStringLiteral("cookie")));
    return base;
  }

 private:
  QString socket() const { return m_folder.filePath(QStringLiteral("native")); }

  QTemporaryDir m_folder;  // before the server, which lives in it
  Spawned m_server;
  bool m_started = false;
};

// Records what the default output of the server in this process's environment plays (its
// monitor), as 16-bit mono at 8 kHz (or the rate given), from start() on.
class OutputRecording {
 public:
  static constexpr double kRate = 8000;

  bool start(int rate = int(kRate)) {
    m_rate = rate;
    m_file = m_folder.filePath(QStringLiteral("recording.raw"));
    m_parec.emplace(QStringLiteral("parec"),
                    QStringList{QStringLiteral("--device=null.monitor"), QStringLiteral("--raw"),
                                QStringLiteral("--format=s16le"), QStringLiteral("--rate=%1").arg(rate),
                                QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20"), m_file},
                    m_folder.filePath(QStringLiteral("parec.log")));
    return waitUntil([this] { return QFile::exists(m_file) || !m_parec->isRunning(); }, 10000) && m_parec->isRunning();
  }
  // Every sample recorded so far, from sample `from` on (-1 ... 1).
  std::vector<float> samples(qint64 from = 0) const {
    QFile file(m_file);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(2 * from)) return {};
    const QByteArray bytes = file.readAll();
    std::vector<float> out(std::size_t(bytes.size() / 2));
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = qFromLittleEndian<qint16>(bytes.constData() + 2 * i) / 32768.0f;
    return out;
  }
  // Keeps `samples` (of this recording) as a WAV file named after `name` that outlives the test
  // run, in "pv-heard-recordings" in the temporary folder the run was started with, for a
  // failure to point at; its path.
  QString keep(const std::vector<float>& samples, QString name) const {
    const QString outer = qEnvironmentVariable(RunTemporaryFolder::kOuterTemporaryFolderVariable, QDir::tempPath());
    const QDir folder(QDir(outer).filePath(QStringLiteral("pv-heard-recordings")));
    folder.mkpath(QStringLiteral("."));
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9.-]+")), QStringLiteral("_"));
    QFile file(folder.filePath(QStringLiteral("%1-%2.wav").arg(QCoreApplication::applicationPid()).arg(name)));
    if (!file.open(QIODevice::WriteOnly)) return file.fileName() + " (could not be written)";
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    const auto data = quint32(samples.size() * 2);
    const auto rate = quint32(m_rate);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + data);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(1) << rate << rate * 2 << quint16(2) << quint16(16);
    out.writeRawData("data", 4);
    out << data;
    for (const float sample : samples) out << qint16(std::clamp(std::lround(sample * 32768.0f), -32768L, 32767L));
    file.write(bytes);
    return file.fileName();
  }
  // Samples recorded so far: where what is recorded next begins.
  qint64 size() const { return QFileInfo(m_file).size() / 2; }
  double rate() const { return m_rate; }
  // Waits until the last `quietMs` recorded are silent (what was played before has come through
  // the server); false when that does not happen within `timeoutMs`.
  bool waitForSilence(int quietMs = 250, int timeoutMs = 10000) const {
    const qint64 quiet = qint64(m_rate * quietMs / 1000);
    return waitUntil(
        [&] {
          const qint64 recorded = size();
          if (recorded < quiet) return false;
          for (const float sample : samples(recorded - quiet)) {
            if (std::abs(sample) > 0.01f) return false;
          }
          return true;
        },
        timeoutMs);
  }
  // The loudness (0 ... 1) of what was recorded since the last call.
  double rms() {
    QTest::qWait(200);
    const std::vector<float> recorded = samples(m_read);
    m_read += qint64(recorded.size());
    if (recorded.empty()) return 0;
    double sum = 0;
    for (const float value : recorded) sum += double(value) * value;
    return std::sqrt(sum / double(recorded.size()));
  }
  // The loudness of what was recorded since the last call where there is sound at all: the
  // recording's gaps (a server dropping out on a busy machine) left out, 10 ms at a time.
  double soundingRms() {
    QTest::qWait(200);
    const std::vector<float> recorded = samples(m_read);
    m_read += qint64(recorded.size());
    const std::size_t block = std::size_t(m_rate / 100);
    double sum = 0;
    std::size_t counted = 0;
    for (std::size_t from = 0; from + block <= recorded.size(); from += block) {
      double square = 0;
      for (std::size_t i = from; i < from + block; ++i) square += double(recorded[i]) * recorded[i];
      if (square / block < 0.01 * 0.01) continue;
      sum += square;
      counted += block;
    }
    return counted ? std::sqrt(sum / double(counted)) : 0;
  }

 private:
  QTemporaryDir m_folder;
  QString m_file;
  std::optional<Spawned> m_parec;
  double m_rate = kRate;
  qint64 m_read = 0;
};

// Runs some of this test program's own tests in a new process, as runTestsInChild does, but
// started with posix_spawn (see Spawn.h); the output merged in `output`.
struct SpawnedTestRun {
  std::optional<int> exitCode;  // nothing when it did not end by itself in time
  QString output;
};
inline SpawnedTestRun runTestsSpawned(const QProcessEnvironment& environment, const QString& filter, int timeoutMs) {
  QTemporaryDir folder;
  const QString log = folder.filePath(QStringLiteral("output.log"));
  QProcessEnvironment childEnvironment = environment;
  childEnvironment.insert(kChildRunVariable, QStringLiteral("1"));
  Spawned child(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + filter}, log,
                childEnvironment);
  SpawnedTestRun run;
  run.exitCode = child.waitForExit(timeoutMs);
  child.kill();
  QFile file(log);
  if (file.open(QIODevice::ReadOnly)) run.output = QString::fromLocal8Bit(file.readAll());
  return run;
}

}  // namespace testsupport
