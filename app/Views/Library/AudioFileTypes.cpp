#include "Views/Library/AudioFileTypes.h"

#include "Services/AudioProcessor.h"

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

bool AudioFileTypes::hasLocalFiles(const QMimeData* data) {
  if (!data || !data->hasUrls()) return false;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) return true;
  }
  return false;
}

}  // namespace parlowvista
