#include "Services/YouTubeDownloader.h"

#include "Models/UuidText.h"
#include "Services/HeldFiles.h"
#include "app/Services/OtherUsersAccess.h"
#include "support/LoopbackServer.h"
#include "support/NameSwapper.h"
#include "support/Processes.h"
#include "support/QtWait.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QUuid>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include <pwd.h>
#include <unistd.h>

using parlowvista::DownloadedAudio;
using parlowvista::DownloaderError;
using parlowvista::YouTubeDownloader;
using testsupport::waitUntil;

namespace {

using Report = YouTubeDownloader::ProgressReport;

TEST(YouTubeDownloaderProgressTest, RecordedToolLinesGiveTheirReports) {
  const struct {
    const char* line;
    QList<Report> expected;
  } cases[] = {
      {"[download]  12.5% of 3.45MiB at 1.20MiB/s ETA 00:02", {{0.125, "Downloading audio..."}}},
      {"[download] 100% of 3.45MiB", {{1.0, "Downloading audio..."}}},
      {"[download]   5.5% of   18.34KiB at  Unknown B/s ETA Unknown", {{0.055, "Downloading audio..."}}},
      {"[download] Destination: /tmp/yt-download-X/clip.m4a", {}},
      {"[download] Destination: /tmp/yt-download-X/Best of 100%.m4a", {{1.0, "Downloading audio..."}}},
      {"[ExtractAudio] Destination: /tmp/yt-download-X/clip.m4a", {{0.95, "Extracting audio..."}}},
      {"[Merger] Merging formats into \"/tmp/x.webm\"", {{0.98, "Merging audio..."}}},
      {"Merging something", {{0.98, "Merging audio..."}}},
      {"[generic] clip: Downloading webpage", {}},
      {"[download] 50%% of nothing", {{0.5, "Downloading audio..."}}},
      {"", {}},
  };
  for (const auto& c : cases) {
    const QList<Report> reports = YouTubeDownloader::parseProgress(QString::fromUtf8(c.line));
    ASSERT_EQ(reports.size(), c.expected.size()) << c.line;
    for (qsizetype i = 0; i < reports.size(); ++i) {
      EXPECT_NEAR(reports[i].fraction, c.expected[i].fraction, 1e-9) << c.line;
      EXPECT_EQ(reports[i].status, c.expected[i].status) << c.line;
    }
  }
}

TEST(YouTubeDownloaderProgressTest, AChunkOfLinesReportsInLineOrder) {
  const QList<Report> reports = YouTubeDownloader::parseProgress(
      "[download]  10.0% of 1MiB\n[download]  20.0% of 1MiB\n[ExtractAudio] Destination: a.m4a\n");
  ASSERT_EQ(reports.size(), 3);
  EXPECT_DOUBLE_EQ(reports[0].fraction, 0.1);
  EXPECT_DOUBLE_EQ(reports[1].fraction, 0.2);
  EXPECT_EQ(reports[2].status, "Extracting audio...");
}

// Puts a folder of fake tools first on PATH and collects the log while it lives.
class ToolOnPath {
 public:
  ToolOnPath() : m_savedPath(qgetenv("PATH")) {
    qputenv("PATH", QByteArray::fromStdString(m_dir.path().string()) + ":" + m_savedPath);
    s_log.clear();
    m_previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) { s_log.append(text); });
  }
  ~ToolOnPath() {
    qInstallMessageHandler(m_previous);
    qputenv("PATH", m_savedPath);
  }
  QString add(const std::string& name, const std::string& script) {
    const auto path = testsupport::writeFile(m_dir / name, script);
    QFile::setPermissions(QString::fromStdString(path.string()), QFile::ReadOwner | QFile::ExeOwner);
    return QString::fromStdString(path.string());
  }
  static QStringList log() { return s_log; }

 private:
  static inline QStringList s_log;
  testsupport::TempDir m_dir{"yt-path"};
  QByteArray m_savedPath;
  QtMessageHandler m_previous = nullptr;
};

TEST(YouTubeDownloaderToolTest, DiscoverySearchesThePathBeforeTheFixedFolders) {
  testsupport::TempDir temp;
  const auto fixed = testsupport::writeFile(temp / "fixed" / "yt-dlp", "#!/bin/sh\n");
  QFile::setPermissions(QString::fromStdString(fixed.string()), QFile::ReadOwner | QFile::ExeOwner);
  const QString fixedTool = QString::fromStdString(fixed.string());
  {
    ToolOnPath path;
    const QString user = path.add("yt-dlp", "#!/bin/sh\n");
    EXPECT_EQ(YouTubeDownloader::findYtDlpSync({"/nonexistent/yt-dlp", fixedTool}), user);
  }
  const QByteArray savedPath = qgetenv("PATH");
  qputenv("PATH", QByteArray::fromStdString((temp / "empty").string()));
  EXPECT_EQ(YouTubeDownloader::findYtDlpSync({"/nonexistent/yt-dlp", fixedTool}), fixedTool);
  EXPECT_EQ(YouTubeDownloader::findYtDlpSync({"/nonexistent/yt-dlp"}), std::nullopt);
  qputenv("PATH", savedPath);
  EXPECT_EQ(YouTubeDownloader::defaultToolLocations(), (QStringList{"/usr/local/bin/yt-dlp", "/usr/bin/yt-dlp"}));
}

TEST(YouTubeDownloaderToolTest, TheFoundToolsPathAndVersionAreLogged) {
  ToolOnPath path;
  const QString tool = path.add("yt-dlp", "#!/bin/sh\n[ \"$1\" = --version ] && printf '2099.01.02\\nmore\\n'\n");
  YouTubeDownloader downloader;
  EXPECT_EQ(downloader.ytdlpPath(), tool);
  EXPECT_TRUE(waitUntil([&] { return ToolOnPath::log().contains("yt-dlp: " + tool + ", version 2099.01.02"); }))
      << ToolOnPath::log().join('\n').toStdString();
}

// Downloads run in a temporary folder of our own so that left-over folders can be counted.
class YouTubeDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hadTmpDir = qEnvironmentVariableIsSet("TMPDIR");
    savedTmpDir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QByteArray::fromStdString(tempRoot.path().string()));
    tempFolder = QString::fromStdString(tempRoot.path().string());
  }
  void TearDown() override {
    if (hadTmpDir) {
      qputenv("TMPDIR", savedTmpDir);
    } else {
      qunsetenv("TMPDIR");
    }
  }

  QStringList downloadFolders() const {
    return QDir(tempFolder).entryList({"yt-download-*"}, QDir::Dirs | QDir::NoDotAndDotDot);
  }

  // A stand-in for the tool: a shell script run with the downloader's arguments.
  QString fakeTool(const std::string& body) {
    const std::string path = (toolDir / "fake-yt-dlp").string();
    testsupport::writeFile(path,
                           "#!/bin/sh\n"
                           "printf '%s\\n' \"$@\" > \"" +
                               (toolDir / "args.txt").string() +
                               "\"\n"
                               "while [ \"$1\" != \"-o\" ]; do shift; done\n"
                               "dir=$(dirname \"$2\")\n" +
                               body);
    QFile::setPermissions(QString::fromStdString(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return QString::fromStdString(path);
  }

  QStringList recordedArguments() const {
    QFile file(QString::fromStdString((toolDir / "args.txt").string()));
    if (!file.open(QIODevice::ReadOnly)) {
      return {};
    }
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
  }

  template <typename F>
  static std::optional<DownloaderError> errorOf(QFuture<DownloadedAudio> future, F&& wait) {
    EXPECT_TRUE(wait([&] { return future.isFinished(); }));
    try {
      future.waitForFinished();
      if (future.isCanceled()) {
        return std::nullopt;
      }
      future.result();
    } catch (const DownloaderError& error) {
      return error;
    }
    return std::nullopt;
  }

  static bool finishes(const QFuture<DownloadedAudio>& future, int ms = 60000) {
    return waitUntil([&] { return future.isFinished(); }, ms);
  }

  bool hadTmpDir = false;
  QByteArray savedTmpDir;
  testsupport::TempDir tempRoot{"yt-tmp"};
  testsupport::TempDir toolDir{"yt-tool"};
  QString tempFolder;
};

TEST_F(YouTubeDownloaderTest, WithoutTheToolNothingIsCreatedAndTheErrorSaysHowToInstall) {
  YouTubeDownloader downloader(std::nullopt);
  EXPECT_FALSE(downloader.isAvailable());
  QFuture<DownloadedAudio> future = downloader.downloadAudio("https://youtu.be/abc");
  ASSERT_TRUE(future.isFinished());
  try {
    future.waitForFinished();
    FAIL() << "no error";
  } catch (const DownloaderError& error) {
    EXPECT_EQ(error.kind(), DownloaderError::Kind::ytdlpNotFound);
    EXPECT_STREQ(error.what(),
                 "yt-dlp not found. Install via: pipx install yt-dlp (current) or sudo apt install yt-dlp");
  }
  EXPECT_TRUE(downloadFolders().isEmpty());
}

// The download's folder and what the tools write in it are the user's alone (0700 and 0600),
// whatever the umask, in a temporary folder all users share: no one else can read the audio.
TEST_F(YouTubeDownloaderTest, RealToolFetchesAMediaFileFromALoopbackServer) {
  const testsupport::ScopedUmask usual(022);
  testsupport::TempDir media;
  const std::string clipPath = (media / "clip.m4a").string();
  ASSERT_EQ(QProcess::execute("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=300:duration=3",
                                         "-c:a", "aac", QString::fromStdString(clipPath)}),
            0);
  const std::string clip = testsupport::readFile(clipPath);
  testsupport::LoopbackServer server;
  server.server().Get("/media/lecture.m4a",
                      [&](const httplib::Request&, httplib::Response& res) { res.set_content(clip, "audio/mp4"); });
  server.start();

  YouTubeDownloader downloader;
  ASSERT_TRUE(downloader.isAvailable());
  QList<Report> reports;
  QFuture<DownloadedAudio> future = downloader.downloadAudio(
      QString::fromStdString(server.baseUrl() + "/media/lecture.m4a"), [&](double fraction, const QString& status) {
        reports.append({fraction, status});
      });
  ASSERT_TRUE(finishes(future));
  const DownloadedAudio audio = future.result();
  EXPECT_EQ(audio.title, "lecture");
  const QFileInfo file(audio.audioURL.toLocalFile());
  EXPECT_TRUE(file.exists());
  EXPECT_EQ(file.suffix(), "m4a");
  EXPECT_EQ(file.size(), qint64(clip.size()));
  EXPECT_TRUE(file.absolutePath().startsWith(tempFolder + "/yt-download-"));
  EXPECT_TRUE(reports.contains(Report{1.0, "Downloading audio..."}));
  EXPECT_TRUE(reports.contains(Report{0.95, "Extracting audio..."}));
  EXPECT_EQ(testsupport::permissionsOf(file.absolutePath().toStdString()), 0700);
  EXPECT_EQ(testsupport::permissionsOf(file.absoluteFilePath().toStdString()), 0600);
  // The tools made nothing beside it (the other folder there is this test's).
  QStringList made = QDir(tempFolder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
  made.removeAll(QString::fromStdString(media.path().filename().string()));
  EXPECT_EQ(made, QStringList{file.absoluteDir().dirName()});
  for (const QString& path : {file.absolutePath(), file.absoluteFilePath()}) {
    if (const auto readable = testsupport::nobodyCanRead(path.toStdString())) {
      EXPECT_FALSE(*readable) << path.toStdString();
    }
  }

  YouTubeDownloader::cleanupTempFile(audio.audioURL);
  EXPECT_FALSE(QFileInfo::exists(file.absoluteFilePath()));
  EXPECT_TRUE(downloadFolders().isEmpty());
}

TEST_F(YouTubeDownloaderTest, RealToolFailureKeepsTheWholeErrorTextAndRemovesTheFolder) {
  testsupport::LoopbackServer server;
  server.start();  // answers 404 to everything
  YouTubeDownloader downloader;
  QList<Report> reports;
  QFuture<DownloadedAudio> future = downloader.downloadAudio(QString::fromStdString(server.baseUrl() + "/missing.m4a"),
                                                             [&](double fraction, const QString& status) {
                                                               reports.append({fraction, status});
                                                             });
  const std::optional<DownloaderError> error = errorOf(future, [](auto p) { return waitUntil(p, 60000); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind(), DownloaderError::Kind::downloadFailed);
  EXPECT_TRUE(error->message().contains("ERROR:")) << error->message().toStdString();
  EXPECT_TRUE(error->message().contains("404")) << error->message().toStdString();
  EXPECT_TRUE(error->message().endsWith('\n'));
  EXPECT_TRUE(QString::fromUtf8(error->what()).startsWith("Download failed: "));
  EXPECT_TRUE(downloadFolders().isEmpty());
}

TEST_F(YouTubeDownloaderTest, OnlyWebAddressesReachTheTool) {
  YouTubeDownloader downloader(fakeTool("touch \"$dir/x.m4a\"\n"));
  for (const char* address :
       {"-h", "--exec=touch /tmp/pwned", "file:///etc/passwd", "ftp://host/a.m4a", "not an address", "", "https://"}) {
    QFuture<DownloadedAudio> future = downloader.downloadAudio(QString::fromUtf8(address));
    const std::optional<DownloaderError> error = errorOf(future, [](auto p) { return waitUntil(p, 1000); });
    ASSERT_TRUE(error.has_value()) << address;
    EXPECT_EQ(error->kind(), DownloaderError::Kind::invalidURL) << address;
  }
  EXPECT_TRUE(recordedArguments().isEmpty());
  EXPECT_TRUE(downloadFolders().isEmpty());
}

TEST_F(YouTubeDownloaderTest, TheToolGetsFixedArgumentsAndTheAddressAfterTheOptionsEnd) {
  // The tool reads its standard input to the end first, which must come at once.
  YouTubeDownloader downloader(fakeTool("cat > /dev/null\ntouch \"$dir/Talk.M4A\"\n"));
  const QString address = "https://www.youtube.com/watch?v=abc123";
  QFuture<DownloadedAudio> future = downloader.downloadAudio(address);
  ASSERT_TRUE(finishes(future));
  const DownloadedAudio audio = future.result();
  EXPECT_EQ(audio.title, "Talk");
  const QStringList args = recordedArguments();
  ASSERT_EQ(args.size(), 11);
  EXPECT_EQ(args.mid(0, 6), (QStringList{"-x", "--audio-format", "m4a", "--audio-quality", "0", "-o"}));
  EXPECT_TRUE(args[6].endsWith("/%(title)s.%(ext)s"));
  EXPECT_EQ(args.mid(7), (QStringList{"--newline", "--progress", "--", address}));
  YouTubeDownloader::cleanupTempFile(audio.audioURL);
}

TEST_F(YouTubeDownloaderTest, OnlyAPartialFileMeansNoAudioStream) {
  YouTubeDownloader downloader(fakeTool("touch \"$dir/video.m4a.part\"\n"));
  const auto error =
      errorOf(downloader.downloadAudio("https://youtu.be/abc"), [](auto p) { return waitUntil(p, 10000); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind(), DownloaderError::Kind::noAudioStream);
  EXPECT_TRUE(downloadFolders().isEmpty());
}

TEST_F(YouTubeDownloaderTest, ChattyToolsNeverBlockAndTheEndOfTheirErrorTextIsKept) {
  // Far more than a pipe holds, on both streams, with and without a progress handler.
  YouTubeDownloader downloader(
      fakeTool("head -c 2000000 /dev/zero | tr '\\0' 'o'\n"
               "echo '[download]  50.0% of 1MiB'\n"
               "head -c 2000000 /dev/zero | tr '\\0' 'e' >&2\n"
               "echo 'ERROR: it broke' >&2\nexit 1\n"));
  for (bool withHandler : {true, false}) {
    int reports = 0;
    YouTubeDownloader::ProgressHandler handler;
    if (withHandler) {
      handler = [&](double, const QString&) { ++reports; };
    }
    const auto error =
        errorOf(downloader.downloadAudio("https://youtu.be/abc", handler), [](auto p) { return waitUntil(p, 30000); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), DownloaderError::Kind::downloadFailed);
    EXPECT_EQ(error->message().size(), 64 * 1024);
    EXPECT_TRUE(error->message().endsWith("ERROR: it broke\n"));
    EXPECT_EQ(reports, withHandler ? 1 : 0);
    EXPECT_TRUE(downloadFolders().isEmpty());
  }
}

TEST_F(YouTubeDownloaderTest, DownloadsRunOneAtATimeInOrder) {
  YouTubeDownloader downloader(fakeTool("sleep 0.3\nname=$(echo \"$*\" | sed 's/.*v=//')\ntouch \"$dir/$name.mp3\"\n"));
  QFuture<DownloadedAudio> first = downloader.downloadAudio("https://youtube.com/watch?v=one");
  QFuture<DownloadedAudio> second = downloader.downloadAudio("https://youtube.com/watch?v=two");
  EXPECT_LE(downloadFolders().size(), 1);
  ASSERT_TRUE(finishes(second));
  ASSERT_TRUE(first.isFinished());
  EXPECT_EQ(first.result().title, "one");
  EXPECT_EQ(second.result().title, "two");
  YouTubeDownloader::cleanupTempFile(first.result().audioURL);
  YouTubeDownloader::cleanupTempFile(second.result().audioURL);
}

// A source that trickles bytes until the client goes away.
struct SlowSource {
  testsupport::LoopbackServer server;
  std::atomic<bool> started{false};
  std::atomic<bool> clientGone{false};

  SlowSource() {
    server.server().Get("/slow.m4a", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("audio/mp4", [this](size_t, httplib::DataSink& sink) {
        started = true;
        const std::string chunk(1024, 'x');
        for (int i = 0; i < 300; ++i) {
          if (!sink.write(chunk.data(), chunk.size())) {
            clientGone = true;
            return false;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        sink.done();
        return true;
      });
    });
    server.start();
  }
  QString address() const { return QString::fromStdString(server.baseUrl() + "/slow.m4a"); }
};

TEST_F(YouTubeDownloaderTest, CancelKillsTheToolAndRemovesItsFolder) {
  SlowSource source;
  YouTubeDownloader downloader;
  QFuture<DownloadedAudio> future = downloader.downloadAudio(source.address());
  QFuture<DownloadedAudio> waiting = downloader.downloadAudio(source.address());
  ASSERT_TRUE(waitUntil([&] { return source.started.load(); }, 30000));
  downloader.cancel();
  EXPECT_TRUE(future.isCanceled());
  EXPECT_TRUE(waiting.isCanceled());
  EXPECT_TRUE(downloadFolders().isEmpty());
  EXPECT_TRUE(waitUntil([&] { return source.clientGone.load(); }, 10000));
}

TEST_F(YouTubeDownloaderTest, DestroyingTheDownloaderKillsTheTool) {
  SlowSource source;
  auto downloader = std::make_unique<YouTubeDownloader>();
  QFuture<DownloadedAudio> future = downloader->downloadAudio(source.address());
  ASSERT_TRUE(waitUntil([&] { return source.started.load(); }, 30000));
  downloader.reset();
  EXPECT_TRUE(future.isCanceled());
  EXPECT_TRUE(downloadFolders().isEmpty());
  EXPECT_TRUE(waitUntil([&] { return source.clientGone.load(); }, 10000));
}

bool processEnded(const QString& pid) {
  return testsupport::processEnded(pid.toLongLong());
}

TEST_F(YouTubeDownloaderTest, CancelAlsoStopsWhatTheToolStarted) {
  const QString pidFile = QString::fromStdString((toolDir / "child.pid").string());
  YouTubeDownloader downloader(fakeTool("sleep 300 &\necho $! > '" + pidFile.toStdString() + "'\nwait\n"));
  QFuture<DownloadedAudio> future = downloader.downloadAudio("https://youtu.be/abc");
  ASSERT_TRUE(waitUntil([&] { return QFileInfo(pidFile).size() > 0; }, 10000));
  QFile file(pidFile);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString child = QString::fromUtf8(file.readAll()).trimmed();
  ASSERT_FALSE(processEnded(child));
  downloader.cancel();
  EXPECT_TRUE(future.isCanceled());
  EXPECT_TRUE(waitUntil([&] { return processEnded(child); }, 5000)) << child.toStdString();
}

// What a progress handler that cancels its own download sees. Statics only: the handler's own
// captures are exactly what must not be freed under it.
YouTubeDownloader* gCancellingDownloader = nullptr;
std::weak_ptr<int> gHandlerCapture;
int gCancellingReports = 0;
bool gCaptureAliveAfterCancel = false;

TEST_F(YouTubeDownloaderTest, AHandlerMayCancelTheDownloadItReportsOn) {
  // One report on a whole line while the tool runs, one from a last line without a line feed.
  for (const char* body :
       {"echo '[download]  10.0% of 1MiB'\nexec sleep 30\n", "printf '[download]  20.0%% of 1MiB'\nexit 0\n"}) {
    SCOPED_TRACE(body);
    YouTubeDownloader downloader(fakeTool(body));
    gCancellingDownloader = &downloader;
    gCancellingReports = 0;
    gCaptureAliveAfterCancel = false;
    auto capture = std::make_shared<int>(1);
    gHandlerCapture = capture;
    QFuture<DownloadedAudio> future =
        downloader.downloadAudio("https://youtu.be/abc", [capture](double, const QString&) {
          ++gCancellingReports;
          gCancellingDownloader->cancel();
          gCaptureAliveAfterCancel = !gHandlerCapture.expired();
        });
    capture.reset();
    ASSERT_TRUE(finishes(future, 10000));
    EXPECT_TRUE(future.isCanceled());
    EXPECT_EQ(gCancellingReports, 1);
    EXPECT_TRUE(gCaptureAliveAfterCancel);
    EXPECT_TRUE(downloadFolders().isEmpty());
  }
  gCancellingDownloader = nullptr;
}

TEST(YouTubeDownloaderCleanupTest, OnlyDownloadFoldersAreRemovedWithTheFile) {
  testsupport::TempDir temp;
  const auto plain = testsupport::writeFile(temp / "plain" / "a.m4a", "x");
  const auto other = testsupport::writeFile(temp / "plain" / "b.m4a", "x");
  const auto download = testsupport::writeFile(temp / "yt-download-ABC" / "a.m4a", "x");
  testsupport::writeFile(temp / "yt-download-ABC" / "left.part", "x");

  YouTubeDownloader::cleanupTempFile(QUrl::fromLocalFile(QString::fromStdString(plain.string())));
  EXPECT_FALSE(std::filesystem::exists(plain));
  EXPECT_TRUE(std::filesystem::exists(other));
  YouTubeDownloader::cleanupTempFile(QUrl::fromLocalFile(QString::fromStdString(download.string())));
  EXPECT_FALSE(std::filesystem::exists(temp / "yt-download-ABC"));
}

// The start's sweep of gone copies' download folders, and a download's own cleanup, remove
// through descriptors only: a download folder, and a folder inside it, that trade places over
// and over with a link to a folder of the user's elsewhere never lead a removal there. (A name
// looked at and then used again as a path would be followed through the link swapped in
// between: the user's files would go.)
TEST(YouTubeDownloaderLeftoversTest, FoldersSwappedForLinksWhileTheyGoLeadNoRemovalElsewhere) {
  namespace fs = std::filesystem;
  const testsupport::TempDir dir{"yt-swap"};
  const fs::path elsewhere = dir / "elsewhere";
  constexpr int kFiles = 200;
  for (int i = 0; i < kFiles; ++i) testsupport::writeFile(elsewhere / ("keep-" + std::to_string(i) + ".m4a"), "m4a");
  const auto left = [&] { return std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()); };
  const fs::path temporary = dir / "tmp";
  const fs::path download = temporary / ("yt-download-" + parlowvista::uuidText(QUuid::createUuid()).toStdString());
  const fs::path part = download / "part";
  const fs::path topLink = temporary / "link";
  const fs::path innerLink = dir / "inner-link";
  testsupport::NameSwapper swapper({{download, topLink}, {part, innerLink}});
  constexpr int kRounds = 600;
  int rounds = 0;
  int swept = 0;
  int cleaned = 0;
  int raced = 0;  // removals while which names traded places
  for (; rounds < kRounds; ++rounds) {
    // Each round afresh: a gone copy's folder, or (every other round) this copy's own download,
    // held, which its cleanup removes; a folder in it; and the two links.
    std::error_code ignored;
    for (const fs::path& path : {download, topLink, innerLink}) fs::remove_all(path, ignored);
    const bool own = rounds % 2 == 1;
    const QString folder = QString::fromStdString(download.string());
    if (own) {
      ASSERT_EQ(parlowvista::HeldFiles::createFolder(folder), "");
    } else {
      fs::create_directories(download);
    }
    for (int i = 0; i < 4; ++i) testsupport::writeFile(part / ("part-" + std::to_string(i)), "m4a");
    testsupport::writeFile(download / "talk.m4a", "m4a");
    fs::create_directory_symlink(elsewhere, topLink);
    fs::create_directory_symlink(elsewhere, innerLink);
    swapper.start();
    const long exchanges = swapper.exchanges();
    if (own) {
      YouTubeDownloader::cleanupTempFile(QUrl::fromLocalFile(folder + "/talk.m4a"));
    } else {
      swept += YouTubeDownloader::removeLeftovers(QString::fromStdString(temporary.string()));
    }
    swapper.stop();
    if (swapper.exchanges() > exchanges) ++raced;
    if (own && !fs::exists(download)) ++cleaned;
    if (left() != kFiles) {
      ++rounds;
      break;
    }
  }
  std::cout << "Files removed elsewhere: " << kFiles - left() << " of " << kFiles << " after " << rounds << " rounds, "
            << swapper.exchanges() << " exchanges, " << raced << " removals raced (" << swept << " folders swept, "
            << cleaned << " cleaned up)" << std::endl;
  EXPECT_EQ(left(), kFiles);
  // The names traded places while most removals ran, and the swapping did not stop every removal.
  EXPECT_GE(raced, kRounds / 2);
  EXPECT_GT(swept, 0);
  EXPECT_GT(cleaned, 0);
}

// In a temporary folder that users share (the default /tmp), a start leaves another user's
// download folders alone, and in a gone copy's own folder what belongs to another user.
TEST(YouTubeDownloaderLeftoversTest, AnotherUsersFoldersAndWhatIsTheirsInOnesOwnAreLeftAlone) {
  namespace fs = std::filesystem;
  const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
  if (!nobody)
    GTEST_SKIP() << "Only a run as root can give a folder to another user (\"nobody\"): this run is not one, or "
                    "the machine has no such account";
  const testsupport::TempDir dir{"yt-others"};
  const fs::path temporary = dir / "tmp";
  const auto named = [] { return "yt-download-" + parlowvista::uuidText(QUuid::createUuid()).toStdString(); };
  const fs::path theirs = temporary / named();
  const fs::path mine = temporary / named();
  testsupport::writeFile(theirs / "part" / "talk.m4a", "m4a");
  testsupport::writeFile(mine / "talk.m4a", "m4a");
  testsupport::writeFile(mine / "theirs" / "talk.m4a", "m4a");
  testsupport::writeFile(mine / "their.m4a", "m4a");
  const auto give = [&](const fs::path& path) { ASSERT_EQ(::lchown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0); };
  for (const fs::path& path : {theirs, theirs / "part", theirs / "part" / "talk.m4a", mine / "theirs",
                               mine / "theirs" / "talk.m4a", mine / "their.m4a"})
    give(path);

  EXPECT_EQ(YouTubeDownloader::removeLeftovers(QString::fromStdString(temporary.string())), 0);
  EXPECT_TRUE(fs::exists(theirs / "part" / "talk.m4a"));
  EXPECT_FALSE(fs::exists(mine / "talk.m4a"));
  EXPECT_TRUE(fs::exists(mine / "theirs" / "talk.m4a"));
  EXPECT_TRUE(fs::exists(mine / "their.m4a"));
}

}  // namespace
