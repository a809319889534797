#include "Services/ExportService.h"

#include "Models/TextGraphemes.h"
#include "Services/ExportTarget.h"

#include <QFile>
#include <QStringList>
#include <nlohmann/json.hpp>

#include <climits>
#include <cmath>

namespace parlowvista {

QString rawValue(ExportFormat format) {
  switch (format) {
    case ExportFormat::txt: return QStringLiteral("Plain Text (.txt)");
    case ExportFormat::srt: return QStringLiteral("Subtitles (.srt)");
    case ExportFormat::json: return QStringLiteral("JSON (.json)");
  }
  return {};
}

std::optional<ExportFormat> exportFormatFromRawValue(const QString& text) {
  for (auto format : allExportFormats()) {
    if (rawValue(format) == text) return format;
  }
  return std::nullopt;
}

const QList<ExportFormat>& allExportFormats() {
  static const QList<ExportFormat> all{ExportFormat::txt, ExportFormat::srt, ExportFormat::json};
  return all;
}

QString fileExtension(ExportFormat format) {
  switch (format) {
    case ExportFormat::txt: return QStringLiteral("txt");
    case ExportFormat::srt: return QStringLiteral("srt");
    case ExportFormat::json: return QStringLiteral("json");
  }
  return {};
}

ExportService::ExportError::ExportError(Kind kind, QString message)
    : m_kind(kind), m_message(std::move(message)), m_utf8(localizedDescription().toUtf8()) {}

QString ExportService::ExportError::localizedDescription() const {
  if (m_kind == Kind::writeFailed) return QStringLiteral("Failed to write file: ") + m_message;
  return QStringLiteral("Failed to encode data");
}

namespace {

bool allTimesFinite(const TranscriptionResult& result) {
  if (!std::isfinite(result.audioDuration()) || !std::isfinite(result.processingTime())) return false;
  for (const auto& segment : result.segments) {
    if (!std::isfinite(segment.startTime) || !std::isfinite(segment.endTime)) return false;
  }
  return true;
}

std::string utf8(const QString& text) {
  return text.toStdString();
}

// A cue's text ends at its first empty line, so a blank line inside a segment's text (or its
// speaker's name) would cut the cue and turn the rest into a malformed one. Line breaks of
// any style become "\n" and lines holding only white space are left out.
QString srtCueText(const QString& text) {
  QString unified = text;
  unified.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  unified.replace(u'\r', u'\n');
  QStringList lines;
  for (const QString& line : unified.split(u'\n')) {
    if (!line.trimmed().isEmpty()) lines.append(line);
  }
  return lines.join(u'\n');
}

// Replaces the file at `path` whole, or leaves it as it was (see ExportTarget).
void replaceFile(const QString& path, const QByteArray& bytes) {
  const QString failure = ExportTarget(path).write(bytes);
  if (!failure.isEmpty()) throw ExportService::ExportError::writeFailed(failure);
}

}  // namespace

QString ExportService::fittingBaseName(const QString& base) {
  // Room for the dot and the longest extension, so that the three files of one export share
  // their base.
  constexpr qsizetype kLimit = NAME_MAX - 5;
  if (QFile::encodeName(base).size() <= kLimit) return base;
  const QList<qsizetype> boundaries = graphemeBoundaries(base);
  QString fitting;
  for (qsizetype end : boundaries) {
    const QString candidate = base.left(end);
    if (QFile::encodeName(candidate).size() > kLimit) break;
    fitting = candidate;
  }
  return fitting;
}

QString ExportService::formatAsTXT(const TranscriptionResult& result, const QList<Speaker>& speakers) {
  const QString rule(60, u'=');
  QStringList lines{
      QStringLiteral("TRANSCRIPTION"),
      rule,
      QStringLiteral("Duration: ") + TranscriptionResult::formatDuration(result.audioDuration()),
      QStringLiteral("Speakers: %1").arg(result.speakerCount()),
      QString::asprintf("Processing time: %.1fs", result.processingTime()),
      rule,
      QString(),
  };
  for (const auto& segment : result.segments) {
    lines.append(QStringLiteral("[%1 \u2192 %2] %3")
                     .arg(TranscribedSegment::formatTimestamp(segment.startTime),
                          TranscribedSegment::formatTimestamp(segment.endTime),
                          Speaker::displayLabel(segment.speakerId, speakers)));
    lines.append(segment.text);
    lines.append(QString());
  }
  return lines.join(u'\n');
}

QString ExportService::formatAsSRT(const TranscriptionResult& result, const QList<Speaker>& speakers) {
  QString out;
  qsizetype number = 1;
  for (const auto& segment : result.segments) {
    out += QString::number(number++) + u'\n';
    out += TranscribedSegment::formatTimestampSRT(segment.startTime) + QStringLiteral(" --> ") +
           TranscribedSegment::formatTimestampSRT(segment.endTime) + u'\n';
    out += srtCueText(u'[' + Speaker::displayLabel(segment.speakerId, speakers) + QStringLiteral("] ") + segment.text) +
           u'\n';
    out += u'\n';
  }
  return out;
}

QString ExportService::formatAsJSON(const TranscriptionResult& result, const QList<Speaker>& speakers) {
  if (!allTimesFinite(result)) throw ExportError::encodingFailed();
  try {
    // nlohmann::json keeps object keys in a std::map, so they come out in byte order.
    nlohmann::json speakerList = nlohmann::json::array();
    for (const auto& speaker : speakers) {
      nlohmann::json entry{
          {"speakerId", speaker.speakerId},
          {"displayName", utf8(speaker.customName.value_or(QStringLiteral("Speaker %1").arg(speaker.speakerId + 1)))}};
      if (speaker.customName) entry["customName"] = utf8(*speaker.customName);
      speakerList.push_back(std::move(entry));
    }
    nlohmann::json segments = nlohmann::json::array();
    QStringList texts;
    for (const auto& segment : result.segments) {
      segments.push_back({{"speakerId", segment.speakerId},
                          {"speakerLabel", utf8(Speaker::displayLabel(segment.speakerId, speakers))},
                          {"startTime", segment.startTime},
                          {"endTime", segment.endTime},
                          {"text", utf8(segment.text)}});
      texts.append(segment.text);
    }
    const nlohmann::json document{
        {"metadata",
         {{"audioDuration", result.audioDuration()},
          {"processingTime", result.processingTime()},
          {"speakerCount", result.speakerCount()},
          {"segmentCount", result.segments.size()}}},
        {"speakers", std::move(speakerList)},
        {"fullText", utf8(texts.join(u' '))},
        {"segments", std::move(segments)},
    };
    return QString::fromStdString(document.dump(2));
  } catch (const nlohmann::json::exception&) {
    throw ExportError::encodingFailed();
  }
}

void ExportService::exportResult(const TranscriptionResult& result, const QList<Speaker>& speakers, ExportFormat format,
                                 const QString& filePath) const {
  // A NaN or infinite time has no text form in any of the formats; refuse before touching
  // the file.
  if (!allTimesFinite(result)) throw ExportError::encodingFailed();
  QString text;
  switch (format) {
    case ExportFormat::txt: text = formatAsTXT(result, speakers); break;
    case ExportFormat::srt: text = formatAsSRT(result, speakers); break;
    case ExportFormat::json: text = formatAsJSON(result, speakers); break;
  }
  replaceFile(filePath, text.toUtf8());
}

void ExportService::exportResult(const TranscriptionResult& result, const QList<Speaker>& speakers, ExportFormat format,
                                 const QUrl& fileURL) const {
  if (!fileURL.isLocalFile()) {
    if (!allTimesFinite(result)) throw ExportError::encodingFailed();
    throw ExportError::writeFailed(QStringLiteral("Not a local file: %1").arg(fileURL.toString()));
  }
  exportResult(result, speakers, format, fileURL.toLocalFile());
}

}  // namespace parlowvista
