#include "Views/Library/AudioFileTypes.h"

#include "Services/AudioProcessor.h"

#include <QDir>
#include <QFileInfo>

namespace parlowvista {

QString AudioFileTypes::dialogFilter() {
  QStringList patterns;
  for (const QString& extension : AudioProcessor::supportedExtensions()) patterns << QStringLiteral("*.") + extension;
  return QStringLiteral("Audio Files (%1)").arg(patterns.join(QLatin1Char(' ')));
}

QString AudioFileTypes::formatsText() {
  QStringList names;
  for (const AudioFormat& format : AudioProcessor::supportedFormats()) names << format.name;
  return QStringLiteral("Supported formats: ") + names.join(QStringLiteral(", "));
}

bool AudioFileTypes::hasAudioExtension(const QString& path) {
  return AudioProcessor::supportedExtensions().contains(QFileInfo(path).suffix().toLower());
}

bool AudioFileTypes::isAudioFile(const QString& path) {
  // Only what the loader takes: a file the system calls audio (Ogg, Opus, ...) but the loader
  // refuses would be taken in here only to fail later.
  return QFileInfo(path).isFile() && hasAudioExtension(path);
}

QList<QUrl> AudioFileTypes::audioFiles(const QMimeData* data) {
  QList<QUrl> result;
  if (!data || !data->hasUrls()) return result;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile() && isAudioFile(url.toLocalFile())) result << url;
  }
  return result;
}

QList<RefusedFile> AudioFileTypes::refusedFiles(const QMimeData* data) {
  QList<RefusedFile> refused;
  if (!data || !data->hasUrls()) return refused;
  for (const QUrl& url : data->urls()) {
    if (!url.isLocalFile()) continue;
    const QFileInfo file(url.toLocalFile());
    if (isAudioFile(file.filePath())) continue;
    QString reason;
    if (file.isDir()) {
      reason = QStringLiteral("It is a folder; drop the audio files in it.");
    } else if (!file.exists()) {
      reason = QString::fromStdString(AudioError::fileNotFound(file.filePath()).what());
    } else if (hasAudioExtension(file.filePath())) {
      reason = QStringLiteral("It is not a regular file (a pipe or a device, say).");
    } else {
      const QString extension = file.suffix().toLower();
      reason = extension.isEmpty()
                   ? QStringLiteral("Its name has no extension that names an audio format.")
                   : QString::fromStdString(AudioError::unsupportedFormat(extension).what()) + QStringLiteral(".");
      reason += QLatin1Char(' ') + formatsText() + QLatin1Char('.');
    }
    // A folder's address may end in "/", which leaves no file name.
    refused.append({file.fileName().isEmpty() ? QDir(file.filePath()).dirName() : file.fileName(), reason});
  }
  return refused;
}

bool AudioFileTypes::hasLocalFiles(const QMimeData* data) {
  if (!data || !data->hasUrls()) return false;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) return true;
  }
  return false;
}

}  // namespace parlowvista
