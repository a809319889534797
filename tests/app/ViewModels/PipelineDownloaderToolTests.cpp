// The online-video road with stand-ins for yt-dlp found on PATH, as a user's machine may have
// them: a tool that fails with text, prints garbage, writes no file or a file that is no
// audio, floods its error output, and addresses that are no web addresses. Each ends in
// `failed` with a message a person can read, and the next file still runs.

#include "app/ViewModels/PipelineTestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace pipelinetest;

namespace {

class PipelineDownloaderToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedPath = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(tools.path().string()) + ":" + savedPath);
  }
  void TearDown() override { qputenv("PATH", savedPath); }

  // Puts a yt-dlp on PATH that runs `body` with `$dir` the folder it was told to write into.
  void standIn(const std::string& body) const {
    const auto path = tools / "yt-dlp";
    testsupport::writeFile(path,
                           "#!/bin/sh\n"
                           "echo run >> \"" +
                               (tools / "runs.txt").string() +
                               "\"\n"
                               "while [ \"$1\" != \"-o\" ]; do shift; done\n"
                               "dir=$(dirname \"$2\")\n" +
                               body + "\n");
    QFile::setPermissions(QString::fromStdString(path.string()),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  int runs() const {
    const std::string text = testsupport::readFile(tools / "runs.txt");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

  testsupport::TempDir tools{"pv-tools"};
  QByteArray savedPath;
};

TEST_F(PipelineDownloaderToolTest, EveryFailureOfTheToolEndsInAPlainErrorAndTheAppStaysUsable) {
  standIn("exit 0");
  Harness h(fixtureEngine());
  ASSERT_TRUE(h.downloader->isAvailable());
  h.downloader->setSilenceLimit(1500);
  ASSERT_TRUE(h.startModels());
  writeFloatWav(h.dir / "good.wav", twoVoices());
  const QString address = "https://media.example/watch?v=abcdefghijk";

  struct Case {
    const char* name;
    std::string tool;     // the stand-in's body
    QString address;      // what the user entered
    const char* message;  // part of the error screen's message
    bool toolRuns;
    const char* details = nullptr;  // the tool's one line that says why, when it failed
  };
  const char* downloadFailed = "The audio could not be downloaded from media.example";
  const std::vector<Case> cases = {
      {"fails with text",
       "echo 'WARNING: something odd' >&2; echo 'ERROR: [generic] Unable to download webpage: HTTP Error 404' >&2; "
       "exit 1",
       address, downloadFailed, true, "ERROR: [generic] Unable to download webpage: HTTP Error 404"},
      {"garbage and no file", "head -c 4000 /dev/urandom; exit 0", address, "No audio stream available", true},
      {"a file that is no audio", "echo 'Sign in to confirm' > \"$dir/Clip.m4a\"; exit 0", address,
       "Not an audio file, or damaged: Clip.m4a", true},
      {"floods its error output",
       "i=0; while [ $i -lt 20000 ]; do echo \"WARNING: line $i of a very chatty tool run\" >&2; i=$((i+1)); done; "
       "echo 'ERROR: gave up' >&2; exit 1",
       address, downloadFailed, true, "ERROR: gave up"},
      {"hangs", "echo '[generic] Extracting URL'; exec sleep 600", address, downloadFailed, true,
       "yt-dlp stopped responding (no output for 1.5 seconds)"},
      {"a local file address", "exit 0", "file:///etc/passwd", "Invalid URL", false},
      {"an option as address", "exit 0", "--exec=touch /tmp/x", "Invalid URL", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standIn(c.tool);
    const int before = runs();
    const qsizetype kept = QDir(h.path("downloads")).entryList(QDir::Files).size();
    h.vm->processYouTubeURL(c.address);
    ASSERT_TRUE(h.settle(60000));
    ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed) << h.vm->statusMessage().toStdString();
    const ErrorInfo& error = *h.vm->state().error();
    EXPECT_TRUE(error.message.contains(c.message)) << error.message.left(300).toStdString();
    if (c.details) {
      EXPECT_EQ(error.details, c.details);
    }
    // What the error screen shows stays readable however much the tool wrote.
    EXPECT_LE(error.message.size(), 1000) << error.message.left(300).toStdString();
    EXPECT_EQ(runs() - before, c.toolRuns ? 1 : 0);
    // A failed attempt leaves nothing in the downloads folder, not even a copy that did not load.
    EXPECT_EQ(QDir(h.path("downloads")).entryList(QDir::Files).size(), kept);

    h.vm->processFile(QUrl::fromLocalFile(h.path("good.wav")));
    ASSERT_TRUE(h.settle());
    EXPECT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
  }
}

}  // namespace
