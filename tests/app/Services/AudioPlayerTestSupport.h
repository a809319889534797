#pragma once

#include "Services/AudioPlayerService.h"

#include "support/QtWait.h"
#include "support/Spawn.h"
#include "support/TempDir.h"

#include <QDataStream>
#include <QFile>
#include <QStringList>
#include <QUrl>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace testsupport {

// Clips are made once per run with the ffmpeg tool: a tone of the given length in seconds.
class AudioPlayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { folder = new TempDir("audio-player"); }
  static void TearDownTestSuite() {
    delete folder;
    folder = nullptr;
    clips.clear();
  }

  static QString pathIn(const std::string& name) { return QString::fromStdString((*folder / name).string()); }

  static QUrl clip(const std::string& name, double seconds, const QStringList& codec = {},
                   const QString& source = QStringLiteral("sine=frequency=440:sample_rate=16000:duration=%1")) {
    const auto found = clips.find(name);
    if (found != clips.end()) return found->second;
    const QString path = pathIn(name);
    QStringList args{"-v", "error", "-y", "-f", "lavfi", "-i", source.arg(seconds)};
    args << codec << path;
    const QString log = path + QStringLiteral(".log");
    Spawned ffmpeg(QStringLiteral("ffmpeg"), args, log);
    EXPECT_EQ(ffmpeg.waitForExit(120000), 0) << readAll(log).toStdString();
    const QUrl url = QUrl::fromLocalFile(path);
    clips[name] = url;
    return url;
  }

  static QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
  }

  static QUrl writtenFile(const std::string& name, const QByteArray& bytes) {
    QFile file(pathIn(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return QUrl::fromLocalFile(file.fileName());
  }

  // A WAV file of 16-bit samples as its header tells them (`tag` 1 is PCM), with a tone.
  static QByteArray wav(quint16 tag, quint16 channels, quint32 rate, quint32 dataBytes) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + dataBytes);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << tag << channels << rate << quint32(rate * channels * 2) << quint16(channels * 2)
        << quint16(16);
    out.writeRawData("data", 4);
    out << dataBytes;
    for (quint32 i = 0; i < dataBytes / 2; ++i) out << qint16(12000 * ((i / 8) % 2 ? 1 : -1));
    return bytes;
  }

  // Loads and waits for the outcome: the reason the file was refused, empty when it is in place.
  // `length` is the decoded length the application would give (see AudioPlayerService::load).
  // `places`: where the loader found the file's sound, as the application hands them on.
  static QString load(parlowvista::AudioPlayerService& player, const QUrl& url, int timeoutMs = 30000,
                      std::optional<double> length = std::nullopt,
                      std::shared_ptr<const voxtrellis::SoundPlaces> places = nullptr) {
    std::optional<QString> outcome;
    player.load(
        url, [&outcome](const QString& error) { outcome = error; }, length, [places] { return places; });
    EXPECT_TRUE(player.isLoading());
    EXPECT_TRUE(waitUntil([&] { return outcome.has_value(); }, timeoutMs)) << url.toString().toStdString();
    EXPECT_FALSE(player.isLoading());
    return outcome.value_or(QStringLiteral("never finished"));
  }

  // Waits until the audio output reports it has played `seconds` past `from` (its own reading,
  // not the player's guess between readings): sound was fed to the output and taken by it.
  // Generous: a loaded machine may be slow to start.
  static bool heardPast(const parlowvista::AudioPlayerService& player, double from, double seconds = 0.1,
                        int timeoutMs = 20000) {
    return waitUntil([&] { return player.heardPosition().value_or(-1) >= from + seconds; }, timeoutMs);
  }

  static inline TempDir* folder = nullptr;
  static inline std::map<std::string, QUrl> clips;
};

}  // namespace testsupport
