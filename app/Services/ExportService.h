#pragma once

#include "Models/Speaker.h"
#include "Models/TranscriptionResult.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <exception>
#include <optional>

namespace parlowvista {

// The export formats, in menu order; each value's text is its menu label and identity.
enum class ExportFormat { txt, srt, json };

// "Plain Text (.txt)", "Subtitles (.srt)", "JSON (.json)".
QString rawValue(ExportFormat format);
std::optional<ExportFormat> exportFormatFromRawValue(const QString& text);
const QList<ExportFormat>& allExportFormats();
// "txt", "srt", "json": the extension callers give the file.
QString fileExtension(ExportFormat format);

// Writes one transcript as plain text, SRT subtitles or JSON. Stateless.
//
// Speaker labels are Speaker::displayLabel. The "Speakers" figure (TXT) and `speakerCount`
// (JSON) are the result's speakerCount(): the distinct speakers of the exported segments, the
// figure the screen shows.
class ExportService {
 public:
  class ExportError : public std::exception {
   public:
    enum class Kind { writeFailed, encodingFailed };

    static ExportError writeFailed(const QString& message) { return ExportError(Kind::writeFailed, message); }
    static ExportError encodingFailed() { return ExportError(Kind::encodingFailed, QString()); }

    Kind kind() const { return m_kind; }
    const QString& message() const { return m_message; }
    // "Failed to write file: <message>" or "Failed to encode data".
    QString localizedDescription() const;
    const char* what() const noexcept override { return m_utf8.constData(); }

   private:
    ExportError(Kind kind, QString message);
    Kind m_kind;
    QString m_message;
    QByteArray m_utf8;
  };

  // Renders and writes the file atomically as UTF-8 (no byte-order mark): an existing file
  // is replaced whole or, on failure, left as it was; any name the file system takes can be
  // written. What another user put under the name in a shared folder (a link, a pipe) is
  // neither followed nor written, and a pipe is never waited on for long (see ExportTarget).
  // Throws ExportError: encodingFailed when a time or duration is not finite (before anything
  // is written), writeFailed with the system's own reason ("No space left on device") or the
  // app's ("<path> belongs to another user") when the file cannot be written.
  void exportResult(const TranscriptionResult& result, const QList<Speaker>& speakers, ExportFormat format,
                    const QString& filePath) const;
  // The same for a file URL (a non-local URL cannot be written and fails with writeFailed).
  void exportResult(const TranscriptionResult& result, const QList<Speaker>& speakers, ExportFormat format,
                    const QUrl& fileURL) const;

  // `base` shortened by whole characters so that it, a dot and any of the formats' extensions
  // make a name the file system takes (NAME_MAX bytes); as it is when it fits.
  static QString fittingBaseName(const QString& base);

  // The renderers. They expect finite times (exportResult checks).
  static QString formatAsTXT(const TranscriptionResult& result, const QList<Speaker>& speakers);
  static QString formatAsSRT(const TranscriptionResult& result, const QList<Speaker>& speakers);
  // Pretty-printed with sorted keys. Throws ExportError(encodingFailed).
  static QString formatAsJSON(const TranscriptionResult& result, const QList<Speaker>& speakers);
};

}  // namespace parlowvista
