#pragma once

#include <QList>
#include <QMimeData>
#include <QString>
#include <QUrl>

namespace parlowvista {

// A dropped file that is not taken, and why, in the user's words.
struct RefusedFile {
  QString name;  // the file's name, without its folder
  QString reason;
};

// Which dropped or chosen files the library takes as audio: local files whose extension is
// one the loader reads (AudioProcessor::supportedFormats(); case ignored). The dialogs' filter
// and the drop zone's text are made from the same list.
struct AudioFileTypes {
  // The file-dialog filter: "Audio Files (*.wav *.mp3 ... *.caf)".
  static QString dialogFilter();
  // "Supported formats: WAV, MP3, M4A, AAC, FLAC, AIFF, CAF".
  static QString formatsText();
  // The name's extension is one the loader reads; the file itself is not looked at.
  static bool hasAudioExtension(const QString& path);
  static bool isAudioFile(const QString& path);
  // The local audio files of a `text/uri-list` drop, in drop order; folders, remote
  // addresses and other files are left out.
  static QList<QUrl> audioFiles(const QMimeData* data);
  // The drop carries at least one local file.
  static bool hasLocalFiles(const QMimeData* data);
  // The local files of a drop that are not taken, in drop order, each with why, as the file
  // dialog's filter would have said: "Unsupported audio format: ogg. Supported formats: WAV,
  // ...", or that it is a folder.
  static QList<RefusedFile> refusedFiles(const QMimeData* data);
};

}  // namespace parlowvista
