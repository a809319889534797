// A full disk, where the application writes: the enhancement preview's excerpts in the temporary
// folder, the sample cache's file and the kept copy of a download. The child process (this
// program) runs in a mount namespace of its own, where it mounts a file system of a megabyte over
// the folder it writes to; each write fails for want of room. The user reads that the disk is
// full, and nothing half-written is left.

#include "Services/AudioCacheService.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/ChildTestRun.h"
#include "support/LoopbackServer.h"
#include "support/Namespaces.h"
#include "support/ScopedEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stop_token>
#include <thread>

#include <sys/mount.h>

using namespace pipelinetest;

namespace {

constexpr const char* kNoSpace = "No space left on device";

// A file system of a megabyte in memory over `folder` (which must be empty), for as long as the
// object lives.
class SmallDisk {
 public:
  explicit SmallDisk(const QString& folder) : m_folder(QFile::encodeName(folder)) {
    QDir().mkpath(folder);
    if (::mount("tmpfs", m_folder.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") != 0)
      m_error = std::strerror(errno);
  }
  ~SmallDisk() {
    if (m_error.empty()) ::umount2(m_folder.constData(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  // Why it could not be mounted; empty once it is.
  const std::string& error() const { return m_error; }

 private:
  QByteArray m_folder;
  std::string m_error;
};

TEST(WritingOntoAFullDisk, SaysTheDiskIsFullAndLeavesNothingHalfWritten) {
  QString whyNot;
  const auto launcher = testsupport::namespaceLauncher({"--mount"}, &whyNot);
  if (!launcher) GTEST_SKIP() << "No file system can be mounted here to fill: " << whyNot.toStdString();
  const testsupport::ChildTestRun run = testsupport::runTestsInChild(
      QProcessEnvironment::systemEnvironment(), "WritingOntoAFullDiskChildProcess.*", 240000, *launcher);
  EXPECT_TRUE(run.finished) << run.output.toStdString();
  EXPECT_TRUE(run.output.contains("[  PASSED  ] 3 tests")) << run.output.toStdString();
}

// The view model's road with enhancement on, the temporary folder and the sample cache's folder
// a megabyte each: a minute of samples takes about four. The enhancement writes nothing to disk
// and goes through; the cache's write fails, and the activity log says so with the reason (it
// used to say nothing anywhere).
TEST(WritingOntoAFullDiskChildProcess, TheRoadSaysTheSamplesCouldNotBeCachedForWantOfRoom) {
  Harness h(std::make_shared<FakeEngine>());
  ASSERT_TRUE(h.startModels());
  writeFloatWav(h.dir / "talk.wav", twoVoices(60.0, {}));
  const SmallDisk temporary(h.path("tmp"));
  ASSERT_EQ(temporary.error(), "");
  const SmallDisk cache(h.path("AudioCache"));
  ASSERT_EQ(cache.error(), "");
  ASSERT_TRUE(h.turnOnEnhancement());
  h.vm->processFile(QUrl::fromLocalFile(h.path("talk.wav")));
  ASSERT_TRUE(h.settle(120000));
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
  EXPECT_TRUE(h.logged("Audio enhanced successfully"));
  const auto said = [&] {
    for (const auto& entry : h.vm->logs()) {
      if (entry.message.startsWith("Audio samples could not be cached: ")) return entry.message;
    }
    return QString();
  };
  ASSERT_TRUE(testsupport::waitUntil([&] { return !said().isEmpty(); }, 60000)) << "nothing said";
  EXPECT_TRUE(said().endsWith(kNoSpace)) << said().toStdString();
  EXPECT_FALSE(said().contains('\n')) << said().toStdString();
  EXPECT_FALSE(h.logged("Audio samples cached to disk"));
  EXPECT_EQ(QDir(h.path("AudioCache")).entryList(QDir::Files | QDir::Hidden).join(", ").toStdString(), "");
  EXPECT_EQ(QDir(h.path("tmp")).entryList(QDir::Files | QDir::Hidden).join(", ").toStdString(), "");
  // The preview of the same file, on the same full disk, says so too, in one line.
  h.vm->generateEnhancementPreview();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h.vm->isGeneratingPreview(); }, 60000));
  const auto logs = h.vm->logs();
  const auto failed = std::find_if(logs.begin(), logs.end(), [](const auto& entry) {
    return entry.message.startsWith("Preview generation failed: ");
  });
  ASSERT_NE(failed, logs.end());
  EXPECT_TRUE(failed->message.endsWith(kNoSpace)) << failed->message.toStdString();
  EXPECT_FALSE(failed->message.contains('\n')) << failed->message.toStdString();
  EXPECT_EQ(QDir(h.path("tmp")).entryList(QDir::Files | QDir::Hidden).join(", ").toStdString(), "");
}

// A write of four megabytes of samples into a cache folder of one ends with the system's
// reason; the stop that comes a minute later would only end a write that never gave up.
TEST(WritingOntoAFullDiskChildProcess, ASampleCacheWriteOnAFullDiskEndsWithTheReason) {
  const testsupport::TempDir dir{"pv-full-cache"};
  const QString folder = QString::fromStdString((dir.path() / "Cache").string());
  const SmallDisk disk(folder);
  ASSERT_EQ(disk.error(), "");
  AudioCacheService cache(folder);
  std::stop_source late;
  std::jthread watchdog([&late](std::stop_token done) {
    for (int i = 0; i < 600 && !done.stop_requested(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    late.request_stop();
  });
  try {
    cache.cacheSamples(std::vector<float>(std::size_t(1) << 20, 0.5f), QUuid::createUuid(), late.get_token());
    ADD_FAILURE() << "the write went through";
  } catch (const voxtrellis::WorkStopped&) {
    ADD_FAILURE() << "the write went on until it was stopped";
  } catch (const std::runtime_error& error) {
    EXPECT_TRUE(std::string(error.what()).find(kNoSpace) != std::string::npos) << error.what();
  }
  EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden).join(", ").toStdString(), "");
}

// A download kept in the downloads folder, a megabyte, while the track is more: the user reads
// why the copy failed, in one line, and nothing of it is left, nor of the download.
TEST(WritingOntoAFullDiskChildProcess, ADownloadKeptOntoAFullDiskSaysWhy) {
  Harness h(std::make_shared<FakeEngine>());
  ASSERT_TRUE(h.downloader->isAvailable());
  ASSERT_TRUE(h.startModels());
  ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "anoisesrc=d=120:r=44100", "-c:a", "alac", h.path("noise.m4a")}));
  const std::string track = testsupport::readFile((h.dir / "noise.m4a").string());
  ASSERT_GT(track.size(), std::size_t(1) << 20);
  testsupport::LoopbackServer server;
  server.server().Get("/media/ten.m4a",
                      [&](const httplib::Request&, httplib::Response& res) { res.set_content(track, "audio/mp4"); });
  server.start();
  const testsupport::ScopedEnv tmpdir("TMPDIR", h.path("tmp").toStdString());
  const SmallDisk disk(h.path("downloads"));
  ASSERT_EQ(disk.error(), "");
  h.vm->processYouTubeURL(QString::fromStdString(server.baseUrl()) + "/media/ten.m4a");
  ASSERT_TRUE(h.settle(120000));
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed);
  const QString shown = h.vm->state().error()->message;
  EXPECT_TRUE(shown.startsWith("Cannot copy the download to " + h.path("downloads") + "/ten.m4a: "))
      << shown.toStdString();
  EXPECT_TRUE(shown.endsWith(kNoSpace)) << shown.toStdString();
  EXPECT_FALSE(shown.contains('\n')) << shown.toStdString();
  EXPECT_TRUE(h.logged("YouTube download failed: " + shown));
  EXPECT_EQ(QDir(h.path("downloads")).entryList(QDir::Files | QDir::Hidden).join(", ").toStdString(), "");
  EXPECT_EQ(QDir(h.path("tmp")).entryList({"yt-download-*"}, QDir::Dirs).join(", ").toStdString(), "");
}

}  // namespace
