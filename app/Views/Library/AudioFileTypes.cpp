#include "Views/Library/AudioFileTypes.h"

#include <QFileInfo>
#include <QMimeDatabase>

namespace parlowvista {

const QStringList& AudioFileTypes::loaderExtensions() {
  static const QStringList extensions{"wav", "mp3", "m4a", "aac", "flac", "aiff", "caf"};
  return extensions;
}

QString AudioFileTypes::dialogFilter() {
  QStringList patterns;
  for (const QString& extension : loaderExtensions()) patterns << QStringLiteral("*.") + extension;
  return QStringLiteral("Audio Files (%1)").arg(patterns.join(QLatin1Char(' ')));
}

bool AudioFileTypes::isAudioFile(const QString& path) {
  const QFileInfo info(path);
  if (!info.isFile()) return false;
  if (loaderExtensions().contains(info.suffix().toLower())) return true;
  return QMimeDatabase().mimeTypeForFile(info).name().startsWith(QLatin1String("audio/"));
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
