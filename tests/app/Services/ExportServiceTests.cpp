#include "Services/ExportService.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

using namespace parlowvista;

namespace {

// Four segments, then the second merged into the first: the result still says 4 speakers,
// while the segments now carry three (0, 1 and 7).
TranscriptionResult sampleResult() {
  TranscriptionResult result(
      {
          TranscribedSegment(0, 0.0, 1.25, "Hello,"),
          TranscribedSegment(2, 1.25, 2.5, "world"),
          TranscribedSegment(1, 2.5, 65.042, QString::fromUtf8("Grüße — 日本語 \"quoted\" / slash")),
          TranscribedSegment(7, 3725.25, 3726.0, "Line one\nline two"),
      },
      3726.5, 12.34);
  result.mergeWithPrevious(1, "world");
  return result;
}

QList<Speaker> sampleSpeakers() {
  return {Speaker(0, QString("Host")), Speaker(1), Speaker(5, QString::fromUtf8("Gäst"))};
}

QByteArray expected(const char* name) {
  QFile file(QStringLiteral(PV_SOURCE_DIR "/tests/app/Services/ExportExpected/") + name);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
  return file.readAll();
}

class ExportServiceTest : public testsupport::TempDirTest {
 protected:
  QString path(const char* name) const { return QString::fromStdString((tempDir / name).string()); }

  QByteArray exportTo(const TranscriptionResult& result, const QList<Speaker>& speakers, ExportFormat format,
                      const char* name) {
    ExportService().exportResult(result, speakers, format, path(name));
    QFile file(path(name));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll();
  }
};

}  // namespace

TEST_F(ExportServiceTest, WritesTheExpectedBytes) {
  struct Case {
    bool empty;
    ExportFormat format;
    const char* expectedFile;
  };
  const Case cases[] = {
      {false, ExportFormat::txt, "sample.txt"},   {false, ExportFormat::srt, "sample.srt"},
      {false, ExportFormat::json, "sample.json"}, {true, ExportFormat::txt, "empty.txt"},
      {true, ExportFormat::srt, "empty.srt"},     {true, ExportFormat::json, "empty.json"},
  };
  for (const auto& c : cases) {
    const auto result = c.empty ? TranscriptionResult({}, 0, 0) : sampleResult();
    const auto speakers = c.empty ? QList<Speaker>{} : sampleSpeakers();
    EXPECT_EQ(exportTo(result, speakers, c.format, "out"), expected(c.expectedFile)) << c.expectedFile;
  }
}

TEST_F(ExportServiceTest, JsonParsesBackWithSortedKeysAndNoNullNames) {
  const auto json = nlohmann::json::parse(ExportService::formatAsJSON(sampleResult(), sampleSpeakers()).toStdString());
  EXPECT_EQ(json.at("metadata").at("speakerCount"), 3);
  EXPECT_EQ(json.at("metadata").at("segmentCount"), 3);
  ASSERT_EQ(json.at("speakers").size(), 3u);
  EXPECT_FALSE(json.at("speakers")[1].contains("customName"));
  EXPECT_EQ(json.at("speakers")[1].at("displayName"), "Speaker 2");
  EXPECT_EQ(json.at("segments")[2].at("speakerLabel"), "Speaker 8");
  EXPECT_EQ(json.at("segments")[2].at("text"), "Line one\nline two");
  EXPECT_EQ(json.at("fullText").get<std::string>().substr(0, 13), "Hello, world ");
}

TEST_F(ExportServiceTest, SrtIsReadByFfmpeg) {
  exportTo(sampleResult(), sampleSpeakers(), ExportFormat::srt, "out.srt");
  QProcess ffmpeg;
  ffmpeg.start("ffmpeg", {"-v", "error", "-nostdin", "-i", path("out.srt"), "-f", "srt", "-"});
  ASSERT_TRUE(ffmpeg.waitForFinished(30000));
  EXPECT_EQ(ffmpeg.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();
  const QString parsed = QString::fromUtf8(ffmpeg.readAllStandardOutput());
  EXPECT_TRUE(parsed.contains(QString::fromUtf8("[Host] Hello, world"))) << parsed.toStdString();
  EXPECT_TRUE(parsed.contains("01:02:05,250 --> 01:02:06,000"));
}

TEST(ExportSrt, BlankLinesInsideATextKeepTheCueWhole) {
  const TranscriptionResult result(
      {
          TranscribedSegment(0, 0.0, 1.0, "first\n\nsecond\r\n \r\nthird\n"),
          TranscribedSegment(1, 1.0, 2.0, "\n\nnext"),
          TranscribedSegment(1, 2.0, 3.0, "old\rmac\r\r"),
      },
      3.0, 0.0);
  const QString srt = ExportService::formatAsSRT(result, {Speaker(1, QString("A\n\nB"))});
  EXPECT_EQ(srt, QStringLiteral("1\n00:00:00,000 --> 00:00:01,000\n[Speaker 1] first\nsecond\nthird\n\n"
                                "2\n00:00:01,000 --> 00:00:02,000\n[A\nB] \nnext\n\n"
                                "3\n00:00:02,000 --> 00:00:03,000\n[A\nB] old\nmac\n\n"));
}

TEST_F(ExportServiceTest, NonFiniteTimesFailWithoutWriting) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const TranscriptionResult bad[] = {
      TranscriptionResult({TranscribedSegment(0, nan, 1, "x")}, 1, 0),
      TranscriptionResult({TranscribedSegment(0, 0, inf, "x")}, 1, 0),
      TranscriptionResult({}, nan, 0),
      TranscriptionResult({}, 1, -inf),
  };
  for (ExportFormat format : allExportFormats()) {
    for (const auto& result : bad) {
      try {
        ExportService().exportResult(result, {}, format, path("never"));
        ADD_FAILURE() << "exported non-finite times";
      } catch (const ExportService::ExportError& error) {
        EXPECT_EQ(error.kind(), ExportService::ExportError::Kind::encodingFailed);
        EXPECT_EQ(error.localizedDescription(), "Failed to encode data");
      }
      EXPECT_FALSE(QFile::exists(path("never")));
    }
  }
}

TEST_F(ExportServiceTest, UnwritableTargetLeavesTheOldFileWhole) {
  testsupport::writeFile(tempDir / "keep.txt", "old contents");
  // A target inside a missing folder cannot be written.
  try {
    ExportService().exportResult(sampleResult(), {}, ExportFormat::txt, path("missing/out.txt"));
    FAIL() << "wrote into a missing folder";
  } catch (const ExportService::ExportError& error) {
    EXPECT_EQ(error.kind(), ExportService::ExportError::Kind::writeFailed);
    EXPECT_TRUE(error.localizedDescription().startsWith("Failed to write file: "));
  }
  // A folder standing where the file should be: the save cannot replace it.
  QDir(QString::fromStdString(tempDir.path().string())).mkdir("dir.txt");
  EXPECT_THROW(ExportService().exportResult(sampleResult(), {}, ExportFormat::txt, path("dir.txt")),
               ExportService::ExportError);
  EXPECT_EQ(testsupport::readFile(tempDir / "keep.txt"), "old contents");

  EXPECT_THROW(ExportService().exportResult(sampleResult(), {}, ExportFormat::txt, QUrl("https://example.com/x.txt")),
               ExportService::ExportError);

  // Exporting twice replaces the file whole (also through a file URL).
  exportTo(sampleResult(), sampleSpeakers(), ExportFormat::txt, "keep.txt");
  ExportService().exportResult(TranscriptionResult({}, 0, 0), {}, ExportFormat::txt,
                               QUrl::fromLocalFile(path("keep.txt")));
  EXPECT_EQ(QByteArray::fromStdString(testsupport::readFile(tempDir / "keep.txt")), expected("empty.txt"));
}

TEST(ExportFormat, TextsAndExtensions) {
  EXPECT_EQ(rawValue(ExportFormat::srt), "Subtitles (.srt)");
  EXPECT_EQ(exportFormatFromRawValue("JSON (.json)"), ExportFormat::json);
  EXPECT_FALSE(exportFormatFromRawValue("json"));
  EXPECT_EQ(fileExtension(ExportFormat::txt), "txt");
  EXPECT_EQ(allExportFormats().size(), 3);
}

TEST(ExportText, ProcessingTimeIsRoundedToOneDecimal) {
  EXPECT_TRUE(ExportService::formatAsTXT(TranscriptionResult({}, 0, 12.34), {}).contains("Processing time: 12.3s\n"));
  EXPECT_TRUE(ExportService::formatAsTXT(TranscriptionResult({}, 0, 0), {}).contains("Processing time: 0.0s\n"));
}
