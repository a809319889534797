#include "Services/ExportService.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <iostream>
#include <limits>
#include <set>

using namespace parlowvista;
namespace fs = std::filesystem;

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

// A folder that every user may write in, with the sticky bit (as /tmp is), and a folder of the
// user's own holding a file only the user may read.
class SharedFolderExportTest : public ExportServiceTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::create_directory(shared));
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    notes = testsupport::writeFile(tempDir / "home" / "notes.txt", "my notes");
    ASSERT_EQ(::chmod(notes.c_str(), 0600), 0);
  }

  // The account the tests give what "another user" planted (as root only); null elsewhere.
  static const passwd* anotherUser() { return ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr; }
  static void giveAway(const fs::path& path) {
    const passwd* other = anotherUser();
    ASSERT_EQ(::lchown(path.c_str(), other->pw_uid, other->pw_gid), 0) << path;
  }
  // What exporting the sample to `target` threw ("" when it wrote).
  static std::string exportError(const fs::path& target, const TranscriptionResult& result = sampleResult()) {
    try {
      ExportService().exportResult(result, sampleSpeakers(), ExportFormat::txt,
                                   QString::fromStdString(target.string()));
      return {};
    } catch (const ExportService::ExportError& error) {
      return error.localizedDescription().toStdString();
    }
  }

  struct Released {
    std::string error;
    bool waited = false;  // the export still waited when given up on, and the pipe had to free it
    double seconds = 0;
  };
  // The export to the pipe `target` on a thread of its own: should it still be waiting after a
  // long while, the pipe is read (all of it) until the export ends, so a waiting export fails
  // the test instead of hanging it.
  static Released exportReleasing(const fs::path& target, const TranscriptionResult& result = sampleResult()) {
    const auto start = std::chrono::steady_clock::now();
    auto ended = std::async(std::launch::async, [&] { return exportError(target, result); });
    Released released;
    if (ended.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      released.waited = true;
      const int reader = ::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      char buffer[65536];
      while (ended.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        while (reader >= 0 && ::read(reader, buffer, sizeof buffer) > 0) {
        }
      }
      if (reader >= 0) ::close(reader);
    }
    released.error = ended.get();
    released.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return released;
  }

  // The names in `folder`.
  static std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
  }

  fs::path shared = tempDir / "shared";
  fs::path notes;
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

// Another user plants links to the user's file under the names an export takes, to be followed
// directly or behind a link of the user's own: the file stays as it was, and the export says why.
TEST_F(SharedFolderExportTest, AnotherUsersLinkLeavesTheUsersFileAsItWas) {
  if (!anotherUser())
    GTEST_SKIP() << "Only a run as root can give a link to another user (\"nobody\"): this run is not one, or the "
                    "machine has no such account";
  struct stat before {};
  ASSERT_EQ(::stat(notes.c_str(), &before), 0);
  const fs::path theirs = shared / "meeting.txt";
  fs::create_symlink(notes, theirs);
  giveAway(theirs);
  const fs::path relative = shared / "meeting.srt";
  fs::create_symlink("../home/notes.txt", relative);
  giveAway(relative);
  const fs::path mine = shared / "mine.txt";
  fs::create_symlink("meeting.txt", mine);
  const fs::path folder = shared / "folder";
  fs::create_directory_symlink(notes.parent_path(), folder);
  giveAway(folder);
  for (const auto& [target, named] :
       {std::pair{theirs, theirs}, {relative, relative}, {mine, theirs}, {folder / "notes.txt", folder}}) {
    EXPECT_EQ(exportError(target), "Failed to write file: " + named.string() + " belongs to another user") << target;
  }
  EXPECT_EQ(testsupport::readFile(notes), "my notes");
  struct stat after {};
  ASSERT_EQ(::stat(notes.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(namesIn(shared), (std::set<std::string>{"meeting.txt", "meeting.srt", "mine.txt", "folder"}));
  EXPECT_EQ(namesIn(notes.parent_path()), std::set<std::string>{"notes.txt"});
}

// Another user's pipe, device or file under an export's name is neither written nor waited on,
// whether or not anyone reads the pipe.
TEST_F(SharedFolderExportTest, AnotherUsersPipeDeviceOrFileIsNotWrittenNorWaitedOn) {
  if (!anotherUser())
    GTEST_SKIP() << "Only a run as root can give a pipe to another user (\"nobody\"): this run is not one, or the "
                    "machine has no such account";
  const auto refused = [&](const fs::path& path) {
    return "Failed to write file: " + path.string() + " belongs to another user";
  };
  const fs::path pipe = shared / "meeting.txt";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(pipe.c_str(), 0666), 0);
  giveAway(pipe);
  const Released alone = exportReleasing(pipe);
  std::cout << "An export to another user's pipe that no one reads returned after " << alone.seconds << " s"
            << std::endl;
  EXPECT_FALSE(alone.waited) << "the export waited for a reader";
  EXPECT_EQ(alone.error, refused(pipe));

  const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(exportError(pipe), refused(pipe));
  char buffer[4096];
  EXPECT_LE(::read(reader, buffer, sizeof buffer), 0) << "the transcript reached the pipe";
  ::close(reader);

  const fs::path file = testsupport::writeFile(shared / "meeting.srt", "theirs");
  giveAway(file);
  EXPECT_EQ(exportError(file), refused(file));
  EXPECT_EQ(testsupport::readFile(file), "theirs");

  const fs::path device = shared / "meeting.json";
  if (::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0) {  // the null device
    giveAway(device);
    EXPECT_EQ(exportError(device), refused(device));
  } else {
    std::cout << "No device case: this system makes no device here (" << std::strerror(errno) << ")" << std::endl;
  }
  EXPECT_EQ(namesIn(shared).size(), fs::exists(device) ? 3u : 2u);
}

// The user's own links are followed (the file they lead to is replaced whole, the links stay) and
// the user's own pipes written; a pipe that no program reads, or that takes nothing, fails instead
// of holding the window.
TEST_F(SharedFolderExportTest, TheUsersOwnLinksAndPipesStillWork) {
  const fs::path link = shared / "meeting.txt";
  fs::create_symlink(notes, link);
  const fs::path chain = shared / "chain.txt";
  fs::create_symlink("meeting.txt", chain);
  for (const fs::path& target : {link, chain}) {
    testsupport::writeFile(notes, "my notes");
    struct stat before {};
    ASSERT_EQ(::stat(notes.c_str(), &before), 0);
    EXPECT_EQ(exportError(target), "") << target;
    EXPECT_EQ(QByteArray::fromStdString(testsupport::readFile(notes)), expected("sample.txt")) << target;
    EXPECT_TRUE(fs::is_symlink(target)) << target;
    struct stat after {};
    ASSERT_EQ(::stat(notes.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << target << " was written in place, not replaced whole";
    EXPECT_EQ(after.st_mode, before.st_mode) << target;
  }
  EXPECT_EQ(namesIn(notes.parent_path()), std::set<std::string>{"notes.txt"});

  const fs::path pipe = shared / "meeting.srt";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const Released alone = exportReleasing(pipe);
  EXPECT_FALSE(alone.waited) << "the export waited for a reader";
  EXPECT_EQ(alone.error, "Failed to write file: " + pipe.string() + " is a pipe that no program is reading");

  const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(exportError(pipe), "");
  QByteArray received(65536, '\0');
  received.resize(std::max<ssize_t>(::read(reader, received.data(), received.size()), 0));
  EXPECT_EQ(received, expected("sample.txt"));

  // More than a pipe holds, to a reader that takes nothing.
  QList<TranscribedSegment> many;
  for (int i = 0; i < 4000; ++i) many.append(TranscribedSegment(0, i, i + 1, QString(60, u'x')));
  const TranscriptionResult big(many, 4000, 0);
  const Released stalled = exportReleasing(pipe, big);
  EXPECT_FALSE(stalled.waited) << "the export waited on the reader";
  EXPECT_EQ(stalled.error, "Failed to write file: " + pipe.string() + " took nothing for 2 seconds");

  // The reader goes away while the pipe is full: the export says so, and the program lives on.
  char drained[65536];
  while (::read(reader, drained, sizeof drained) > 0) {
  }
  auto ended = std::async(std::launch::async, [&] { return exportError(pipe, big); });
  const int capacity = ::fcntl(reader, F_GETPIPE_SZ);
  int held = 0;
  while (ended.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready &&
         (::ioctl(reader, FIONREAD, &held) != 0 || held < capacity)) {
  }
  ::close(reader);
  EXPECT_EQ(ended.get(), "Failed to write file: Broken pipe");
  EXPECT_EQ(namesIn(shared), (std::set<std::string>{"meeting.txt", "chain.txt", "meeting.srt"}));

  if (!anotherUser()) return;
  // In a shared folder of another user's, that user's own link is followed, as the system
  // follows it.
  const fs::path theirFolder = tempDir / "theirs";
  ASSERT_TRUE(fs::create_directory(theirFolder));
  ASSERT_EQ(::chmod(theirFolder.c_str(), 01777), 0);
  giveAway(theirFolder);
  const fs::path theirLink = theirFolder / "meeting.txt";
  fs::create_symlink(notes, theirLink);
  giveAway(theirLink);
  testsupport::writeFile(notes, "my notes");
  EXPECT_EQ(exportError(theirLink), "");
  EXPECT_EQ(QByteArray::fromStdString(testsupport::readFile(notes)), expected("sample.txt"));
}
