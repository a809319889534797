#pragma once

#include <QList>
#include <QMimeData>
#include <QString>
#include <QUrl>

namespace parlowvista {

// Which dropped or chosen files the library takes as audio: local files whose extension is
// one the loader reads (wav, mp3, m4a, aac, flac, aiff, caf; case ignored), or whose content
// type QMimeDatabase reports as audio.
struct AudioFileTypes {
  static const QStringList& loaderExtensions();
  // The file-dialog filter, e.g. "Audio Files (*.wav *.mp3 ...)".
  static QString dialogFilter();
  static bool isAudioFile(const QString& path);
  // The local audio files of a `text/uri-list` drop, in drop order; folders, remote
  // addresses and other files are left out.
  static QList<QUrl> audioFiles(const QMimeData* data);
  // The drop carries at least one local file.
  static bool hasLocalFiles(const QMimeData* data);
};

}  // namespace parlowvista
