// The audio enhancer with the real ffmpeg on generated files, and with stand-in tools
// for the failures; the view model's enhancement road and preview.

#include "Models/UuidText.h"
#include "Services/AudioEnhancer.h"
#include "Services/AudioPlayerService.h"
#include "Services/AudioProcessor.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/Processes.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <filesystem>

#include <linux/capability.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace pipelinetest;

namespace {

// The user a process runs as (its real user id); -1 once it is gone.
qint64 userOf(qint64 pid) {
  QFile status(QStringLiteral("/proc/%1/status").arg(pid));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith("Uid:")) return line.mid(4).simplified().split(' ').value(0).toLongLong();
  }
  return -1;
}

// Root may signal any process, so `kill` never answers root "not permitted". For as long as it
// lives, this thread (capabilities are each thread's own) is without that right, as any other
// user is; nothing else changes.
class WithoutTheRightToSignalOthers {
 public:
  WithoutTheRightToSignalOthers() {
    m_ok = ::syscall(SYS_capget, &m_header, m_saved) == 0;
    __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
    lowered[0].effective &= ~(1u << CAP_KILL);
    m_ok = m_ok && ::syscall(SYS_capset, &m_header, lowered) == 0;
  }
  ~WithoutTheRightToSignalOthers() { ::syscall(SYS_capset, &m_header, m_saved); }
  bool ok() const { return m_ok; }

 private:
  __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct m_saved[2]{};
  bool m_ok = false;
};

// The files in `folder` that this process has open, removed ones too (" (deleted)" after the
// name): a file's lock goes with the descriptor it is held by, and a removed file's room on the
// disk only once no descriptor is left open on it.
QStringList openFilesIn(const QString& folder) {
  QStringList open;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    const QString target = QString::fromStdString(std::filesystem::read_symlink(entry.path(), error).string());
    if (target.startsWith(folder + "/")) open << target;
  }
  return open;
}

class AudioEnhancerTest : public testsupport::TempDirTest {
 protected:
  QString path(const std::string& name) const { return QString::fromStdString((tempDir / name).string()); }

  // A stand-in ffmpeg (a shell script) in a folder of its own (`name`), without an ffprobe
  // beside it: one stand-in never replaces another that a test still uses.
  QString fakeTool(const std::string& name, const std::string& body) {
    const auto file = tempDir / name / "ffmpeg";
    testsupport::writeFile(file, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    return QString::fromStdString(file.string());
  }

  AudioEnhancer::Outcome wait(const std::function<void(AudioEnhancer::Done)>& start) {
    std::optional<AudioEnhancer::Outcome> outcome;
    start([&](const AudioEnhancer::Outcome& o) { outcome = o; });
    EXPECT_TRUE(testsupport::waitUntil([&] { return outcome.has_value(); }, 30000));
    return outcome.value_or(AudioEnhancer::Outcome{});
  }

  QStringList tempFiles() const { return QDir(path("tmp")).entryList(QDir::Files); }
  // What the enhancer's files begin with: a start tells a running copy's from a gone one's by it.
  static QString own(const char* kind = "") {
    return QStringLiteral("parlowvista-%1-%2").arg(QCoreApplication::applicationPid()).arg(kind);
  }

  void SetUp() override { QDir().mkpath(path("tmp")); }
};

TEST_F(AudioEnhancerTest, EnhancesIntoA16kMonoFloatFileWithProgress) {
  ASSERT_TRUE(AudioEnhancer::findFFmpeg());
  writeFloatWav(tempDir / "in.wav", twoVoices(4.0, {}), 16000);
  ASSERT_TRUE(ffmpeg({"-i", path("in.wav"), "-ar", "44100", "-ac", "2", path("in.flac")}));
  AudioEnhancer enhancer(AudioEnhancer::findFFmpeg(), path("tmp"));
  AudioEnhancementSettings settings;
  settings.enabled = settings.noiseReduction = true;
  QList<double> progress;
  const auto outcome = wait([&](auto done) {
    enhancer.enhance(
        path("in.flac"), settings, [&](double p) { progress << p; }, done);
  });
  ASSERT_TRUE(outcome.outputPath) << outcome.error.toStdString();
  EXPECT_EQ(QFileInfo(*outcome.outputPath).dir(), QDir(path("tmp")));
  EXPECT_TRUE(QFileInfo(*outcome.outputPath).fileName().startsWith(own())) << outcome.outputPath->toStdString();
  const auto stream = AudioProcessor::probeLength(*outcome.outputPath);
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->sampleRate, 16000);
  EXPECT_NEAR(static_cast<double>(stream->frames), 64000, 200);
  ASSERT_FALSE(progress.isEmpty());
  EXPECT_LE(progress.last(), 1.0);
  EXPECT_GT(progress.last(), 0.5);

  const auto preview = wait([&](auto done) { enhancer.generatePreview(path("in.flac"), settings, done); });
  ASSERT_TRUE(preview.outputPath);
  EXPECT_TRUE(QFileInfo(*preview.outputPath).fileName().startsWith(own("preview_")));
  EXPECT_EQ(AudioProcessor::probeLength(*preview.outputPath)->sampleRate, 44100);
  // Written, each file is held (another copy's start leaves it alone) until it is cleaned up,
  // which lets it go: nothing of this process keeps it, or its room on the disk, any more.
  EXPECT_EQ(openFilesIn(path("tmp")).size(), 2);
  EXPECT_EQ(AudioEnhancer::removeLeftovers(path("tmp")), 0);
  for (const QString& file : {*outcome.outputPath, *preview.outputPath}) AudioEnhancer::cleanupTempFile(file);
  EXPECT_EQ(openFilesIn(path("tmp")).join(", ").toStdString(), "");
  EXPECT_EQ(tempFiles().join(", ").toStdString(), "");
}

TEST_F(AudioEnhancerTest, FailuresAreReportedAndLeaveNoFileBehind) {
  writeFloatWav(tempDir / "in.wav", std::vector<float>(16000, 0.1f));
  const auto run = [&](AudioEnhancer& enhancer, const QString& input) {
    return wait([&](auto done) { enhancer.enhance(input, {}, {}, done); }).error;
  };
  AudioEnhancer none(std::nullopt, path("tmp"));
  EXPECT_EQ(run(none, path("in.wav")), "FFmpeg not found. Install with: sudo apt install ffmpeg");
  AudioEnhancer failing(
      fakeTool("failing", "for last; do :; done; echo partial > \"$last\"; echo 'bad filter' >&2; exit 1"),
      path("tmp"));
  EXPECT_EQ(run(failing, path("missing.wav")), "Input audio file not found");
  EXPECT_EQ(run(failing, path("in.wav")), "Audio enhancement failed: bad filter\n");
  EXPECT_TRUE(tempFiles().isEmpty());
  AudioEnhancer silent(fakeTool("silent", "exit 0"), path("tmp"));
  EXPECT_EQ(run(silent, path("in.wav")), "Failed to create enhanced audio file");
  // A preview the tool wrote part of before it failed is a failure, not a file, and says why as
  // the whole file's does; one the tool ended well without writing is a failure too.
  for (AudioEnhancer* enhancer : {&failing, &silent}) {
    for (const bool enhanced : {false, true}) {
      const auto preview = wait([&](auto done) {
        if (enhanced) return enhancer->generatePreview(path("in.wav"), {}, done);
        enhancer->generateOriginalPreview(path("in.wav"), done);
      });
      EXPECT_FALSE(preview.outputPath);
      EXPECT_EQ(preview.error.toStdString(), enhancer == &failing ? "Audio enhancement failed: bad filter\n"
                                                                  : "Failed to create enhanced audio file");
      EXPECT_TRUE(tempFiles().isEmpty());
      EXPECT_EQ(openFilesIn(path("tmp")).join(", ").toStdString(), "");
    }
  }
  // An enhancer that goes (the application ending) while its tool writes ends the tool and
  // removes what it wrote, of the file and of a preview alike.
  const QString pidFile = path("tool.pid");
  auto writing = std::make_unique<AudioEnhancer>(
      fakeTool("writing", "echo $$ >> '" + pidFile.toStdString() +
                              "'; for last; do :; done; echo partial > \"$last\"; exec sleep 60"),
      path("tmp"));
  writing->enhance(path("in.wav"), {}, {}, [](const AudioEnhancer::Outcome&) { ADD_FAILURE() << "answered"; });
  writing->generatePreview(path("in.wav"), {}, [](const AudioEnhancer::Outcome&) { ADD_FAILURE() << "answered"; });
  ASSERT_TRUE(testsupport::waitUntil([&] { return tempFiles().size() == 2; })) << tempFiles().join(", ").toStdString();
  writing.reset();
  EXPECT_EQ(tempFiles().join(", ").toStdString(), "");
  EXPECT_EQ(openFilesIn(path("tmp")).join(", ").toStdString(), "");
  for (const QString& pid :
       QString::fromStdString(testsupport::readFile(pidFile.toStdString())).split('\n', Qt::SkipEmptyParts))
    EXPECT_FALSE(QFileInfo::exists("/proc/" + pid)) << "the tool " << pid.toStdString() << " runs on";
}

// In a temporary folder that users share (the default /tmp), a start keeps another user's
// files, those of a copy that runs and those of one that is gone alike (that user's own next
// start removes them); it removes those of this user's copy that is gone.
TEST_F(AudioEnhancerTest, AStartKeepsAnotherUsersFilesOfARunningOrAGoneCopy) {
  const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
  if (!nobody)
    GTEST_SKIP() << "Only a run as root can give a file to another user (\"nobody\"): this run is not one, or the "
                    "machine has no such account";
  // Another user's process: one started as "nobody".
  QProcess asNobody;
  const uid_t uid = nobody->pw_uid;
  asNobody.start("setpriv", {"--reuid=" + QString::number(uid), "--regid=" + QString::number(nobody->pw_gid),
                             "--clear-groups", "sleep", "60"});
  ASSERT_TRUE(asNobody.waitForStarted()) << asNobody.errorString().toStdString();
  const qint64 other = asNobody.processId();
  ASSERT_TRUE(testsupport::waitUntil([&] { return userOf(other) == uid; }));
  const pid_t ended = testsupport::endedProcessId();
  ASSERT_GT(ended, 0);
  const QStringList theirs{enhancerFileName(other), enhancerFileName(ended)};
  const QString gone = enhancerFileName(ended);
  for (const QString& name : theirs + QStringList{gone}) {
    const auto file = testsupport::writeFile(tempDir / "tmp" / name.toStdString(), "RIFF");
    if (theirs.contains(name)) {
      ASSERT_EQ(::chown(file.c_str(), uid, nobody->pw_gid), 0);
    }
  }

  int removed = 0;
  {
    const WithoutTheRightToSignalOthers asAnyUser;
    ASSERT_TRUE(asAnyUser.ok());
    removed = AudioEnhancer::removeLeftovers(path("tmp"));
  }
  EXPECT_EQ(removed, 1);
  QStringList kept = theirs;
  kept.sort();
  EXPECT_EQ(tempFiles().join(", ").toStdString(), kept.join(", ").toStdString());
  asNobody.kill();
  asNobody.waitForFinished();
}

TEST_F(AudioEnhancerTest, TheRoadLoadsTheEnhancedFileAndRemovesIt) {
  Harness h(std::make_shared<FakeEngine>());
  ASSERT_TRUE(h.startModels());
  writeFloatWav(h.dir / "talk.wav", twoVoices(3.0, {}));
  ASSERT_TRUE(h.turnOnEnhancement());
  h.vm->processFile(QUrl::fromLocalFile(h.path("talk.wav")));
  ASSERT_TRUE(h.settle());
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
  EXPECT_TRUE(h.logged("Enhancement: Normalize, Compress"));
  EXPECT_TRUE(h.logged("Audio enhanced successfully"));
  EXPECT_GT(h.vm->enhancementProgress(), 0.0);
  EXPECT_EQ(h.vm->currentFile(), QUrl::fromLocalFile(h.path("talk.wav")));
  EXPECT_NEAR(h.vm->cachedDuration().value_or(0), 3.0, 0.01);
  EXPECT_TRUE(QDir(h.path("tmp")).entryList(QDir::Files).isEmpty());
  // Loaded, the enhanced file is let go: no descriptor keeps its lock, or its room on the disk.
  EXPECT_EQ(openFilesIn(h.path("tmp")).join(", ").toStdString(), "");
}

TEST_F(AudioEnhancerTest, PreviewsAreMadeWithTheFoundToolPlayedOneAtATimeAndRemoved) {
  Harness h(std::make_shared<FakeEngine>());
  h.vm->generateEnhancementPreview();
  EXPECT_TRUE(h.logged("No audio file selected for preview"));
  ASSERT_TRUE(h.startModels());
  writeFloatWav(h.dir / "talk.wav", twoVoices(3.0, {}));
  h.vm->processFile(QUrl::fromLocalFile(h.path("talk.wav")));
  ASSERT_TRUE(h.settle());
  ASSERT_TRUE(testsupport::waitUntil([&] { return h.vm->isEnhancerAvailable(); }));

  h.vm->generateEnhancementPreview();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h.vm->isGeneratingPreview(); }, 30000));
  ASSERT_TRUE(h.logged("Preview ready - compare Original vs Enhanced"));
  const QString original = h.vm->previewOriginalURL().toLocalFile();
  const QString enhanced = h.vm->previewEnhancedURL().toLocalFile();
  EXPECT_TRUE(QFileInfo(original).fileName().startsWith(own("preview_original_")));
  EXPECT_TRUE(QFileInfo::exists(enhanced));

  // One stop timer: a stopped and restarted playback runs its full time.
  h.vm->setPreviewAutoStopInterval(300);
  h.vm->playPreviewOriginal();
  EXPECT_TRUE(h.vm->previewPlayingOriginal());
  h.vm->playPreviewEnhanced();
  EXPECT_FALSE(h.vm->previewPlayingOriginal());
  EXPECT_TRUE(h.vm->previewPlayingEnhanced());
  h.vm->stopPreviewPlayback();
  QTest::qWait(150);
  h.vm->playPreviewOriginal();
  QTest::qWait(200);
  EXPECT_TRUE(h.vm->previewPlayingOriginal());
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h.vm->previewPlayingOriginal(); }, 2000));

  // A new pair replaces the old files; the view model removes its pair when it goes.
  h.vm->generateEnhancementPreview();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h.vm->isGeneratingPreview(); }, 30000));
  EXPECT_FALSE(QFileInfo::exists(original));
  const QString second = h.vm->previewEnhancedURL().toLocalFile();
  h.vm.reset();
  EXPECT_FALSE(QFileInfo::exists(second));
  EXPECT_EQ(openFilesIn(h.path("tmp")).join(", ").toStdString(), "");
}

}  // namespace
