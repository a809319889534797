// The audio enhancer with the real ffmpeg on generated files, and with stand-in tools
// for the failures; the view model's enhancement road and preview.

#include "Models/UuidText.h"
#include "Services/AudioEnhancer.h"
#include "Services/AudioPlayerService.h"
#include "Services/AudioProcessor.h"
#include "Services/EnhancementCommands.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "engine/Shared/AudioTestFiles.h"
#include "support/Processes.h"

#include <voxtrellis/WorkStopped.h>

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <thread>

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

  // A stand-in that gives back what it is given, as `cat` does, when that is less than half a
  // second (the click that measures the chain's delay), and else runs `body` with its input in the
  // file "$in".
  QString fakeToolPastTheClick(const std::string& name, const std::string& body) {
    return fakeTool(name,
                    "in=\"$(dirname \"$0\")/input\"; cat > \"$in\"\n"
                    "if [ $(wc -c < \"$in\") -lt 32000 ]; then exec cat \"$in\"; fi\n" +
                        body);
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

// Where the loudest sample lies within `reach` samples of `at`, counted from `at`.
long loudestNear(const std::vector<float>& samples, std::size_t at, std::size_t reach) {
  const std::size_t from = at > reach ? at - reach : 0;
  const std::size_t to = std::min(samples.size(), at + reach);
  std::size_t loudest = from;
  for (std::size_t i = from; i < to; ++i) {
    if (std::abs(samples[i]) > std::abs(samples[loudest])) loudest = i;
  }
  return long(loudest) - long(at);
}

// The enhancer filters the loaded samples: as many come back as went in, and a click comes back
// where it was, whatever the filters (the noise reduction gives its sound 25 ms late, the limiter
// 5 ms, the loudness normalisation works at another rate). The transcript's times, the damage the
// loader said and the places it found in the file hold for the enhanced samples as they are.
TEST_F(AudioEnhancerTest, TheSamplesComeBackAsManyAndEachWhereItWas) {
  ASSERT_TRUE(AudioEnhancer::findFFmpeg());
  const AudioEnhancer enhancer(AudioEnhancer::findFFmpeg(), path("tmp"));
  std::vector<float> talk(20 * 16000);
  std::mt19937 noise(5);
  std::uniform_real_distribution<float> spread(-0.005f, 0.005f);
  for (std::size_t i = 0; i < talk.size(); ++i)
    talk[i] = 0.05f * float(std::sin(2 * M_PI * 300 * double(i) / 16000)) + spread(noise);
  const std::vector<double> clicks{0.05, 2.0, 7.3, 15.1, 19.97};
  for (const double at : clicks) talk[std::size_t(at * 16000)] = 0.95f;
  for (int switches = 0; switches < 8; ++switches) {
    AudioEnhancementSettings settings;
    settings.enabled = true;
    settings.noiseReduction = switches & 1;
    settings.dynamicCompression = switches & 2;
    settings.normalizeVolume = switches & 4;
    SCOPED_TRACE(enhancement::buildFilterChain(settings).toStdString());
    QList<double> progress;
    const AudioEnhancer::Enhanced enhanced = enhancer.enhance(talk, settings, [&](double p) { progress << p; });
    ASSERT_EQ(enhanced.samples.size(), talk.size());
    EXPECT_EQ(enhanced.toolErrors.toStdString(), "");
    // Within a millisecond.
    for (const double at : clicks) EXPECT_LE(std::abs(loudestNear(enhanced.samples, std::size_t(at * 16000), 800)), 16);
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last(), 1.0);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  }
  // What the limiter lets out of the loudest sound there is passes for sound.
  std::vector<float> square(16000);
  for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 40) % 2 ? 1e30f : -1e30f;
  std::vector<float> click(16000, 0.0f);
  click[8000] = 3e38f;
  for (int switches = 0; switches < 8; ++switches) {
    AudioEnhancementSettings settings;
    settings.noiseReduction = switches & 1;
    settings.dynamicCompression = switches & 2;
    settings.normalizeVolume = switches & 4;
    SCOPED_TRACE(enhancement::buildFilterChain(settings).toStdString());
    EXPECT_NO_THROW(enhancer.enhance(square, settings));
    EXPECT_NO_THROW(enhancer.enhance(click, settings));
  }
  // A few samples, and far more than the pipes hold at once, go alike.
  for (const std::size_t count : {std::size_t(1), std::size_t(10), std::size_t(2 * 60 * 16000)}) {
    const std::vector<float> some(count, 0.01f);
    EXPECT_EQ(enhancer.enhance(some, AudioEnhancementSettings()).samples.size(), count);
  }
  EXPECT_TRUE(tempFiles().isEmpty());

  writeFloatWav(tempDir / "in.wav", twoVoices(4.0, {}), 16000);
  ASSERT_TRUE(ffmpeg({"-i", path("in.wav"), "-ar", "44100", "-ac", "2", path("in.flac")}));
  AudioEnhancer previews(AudioEnhancer::findFFmpeg(), path("tmp"));
  const auto preview = wait([&](auto done) { previews.generatePreview(path("in.flac"), {}, done); });
  ASSERT_TRUE(preview.outputPath);
  EXPECT_TRUE(QFileInfo(*preview.outputPath).fileName().startsWith(own("preview_")));
  EXPECT_EQ(AudioProcessor::probeLength(*preview.outputPath)->sampleRate, 44100);
  EXPECT_EQ(preview.toolErrors.toStdString(), "");
  // Written, the file is held (another copy's start leaves it alone) until it is cleaned up,
  // which lets it go: nothing of this process keeps it, or its room on the disk, any more.
  EXPECT_EQ(openFilesIn(path("tmp")).size(), 1);
  EXPECT_EQ(AudioEnhancer::removeLeftovers(path("tmp")), 0);
  AudioEnhancer::cleanupTempFile(*preview.outputPath);
  EXPECT_EQ(openFilesIn(path("tmp")).join(", ").toStdString(), "");
  EXPECT_EQ(tempFiles().join(", ").toStdString(), "");
}

// How late the chain gives its sound is the tool's own (the noise reduction of one build of ffmpeg
// holds it back by 25 ms, another's may not): it is measured, once, for each tool that runs the
// chain. The samples come back in their places all the same; they used to be moved by as much
// as the tool differed, unsaid. A tool that would not let it be measured fails the run.
TEST_F(AudioEnhancerTest, TheChainsDelayIsMeasuredForTheToolThatRuns) {
  const std::optional<QString> real = AudioEnhancer::findFFmpeg();
  ASSERT_TRUE(real);
  const std::string runs = path("runs").toStdString();
  // ffmpeg as another build of it might be: all of its sound `late` samples later, and no more
  // of it (as the noise reduction does).
  const auto delaying = [&](std::size_t late) {
    const std::string bytes = std::to_string(late * sizeof(float));
    return fakeTool("delaying", "echo run >> '" + runs + "'\n{ head -c " + bytes + " /dev/zero; '" +
                                    real->toStdString() + "' \"$@\"; } | head -c -" + bytes);
  };
  const auto timesRun = [&] { return QString::fromStdString(testsupport::readFile(runs)).count("run"); };
  std::vector<float> talk(3 * 16000);
  std::mt19937 noise(7);
  std::uniform_real_distribution<float> spread(-0.005f, 0.005f);
  for (std::size_t i = 0; i < talk.size(); ++i)
    talk[i] = 0.05f * float(std::sin(2 * M_PI * 300 * double(i) / 16000)) + spread(noise);
  const std::vector<double> clicks{0.05, 1.3, 2.97};
  for (const double at : clicks) talk[std::size_t(at * 16000)] = 0.95f;
  const auto inPlace = [&](const AudioEnhancer& enhancer, const AudioEnhancementSettings& settings) {
    SCOPED_TRACE(enhancement::buildFilterChain(settings).toStdString());
    const AudioEnhancer::Enhanced enhanced = enhancer.enhance(talk, settings);
    ASSERT_EQ(enhanced.samples.size(), talk.size());
    for (const double at : clicks) EXPECT_LE(std::abs(loudestNear(enhanced.samples, std::size_t(at * 16000), 800)), 16);
  };
  const AudioEnhancer late(delaying(1000));
  for (int switches = 0; switches < 8; ++switches) {
    AudioEnhancementSettings settings;
    settings.noiseReduction = switches & 1;
    settings.dynamicCompression = switches & 2;
    settings.normalizeVolume = switches & 4;
    inPlace(late, settings);
  }
  // A chain's delay is measured once for a tool, by any enhancer.
  EXPECT_EQ(timesRun(), 16);
  inPlace(AudioEnhancer(late.ffmpegPath()), {});
  EXPECT_EQ(timesRun(), 17);
  // The tool's file replaced (another build installed in its place) is another tool.
  const AudioEnhancer later(delaying(3000));
  EXPECT_EQ(later.ffmpegPath(), late.ffmpegPath());
  AudioEnhancementSettings denoising;
  denoising.noiseReduction = true;
  inPlace(later, {});
  inPlace(later, denoising);
  EXPECT_EQ(timesRun(), 21);

  const auto enhanced = [&](const std::string& name, const std::string& body) -> std::string {
    try {
      AudioEnhancer(fakeTool(name, body)).enhance(talk, {});
      return "enhanced";
    } catch (const std::runtime_error& error) {
      return error.what();
    }
  };
  EXPECT_EQ(enhanced("deaf", "head -c $(wc -c) /dev/zero"),
            "Audio enhancement failed: the delay of ffmpeg's filters could not be measured: the click sent through "
            "them did not come back");
  EXPECT_EQ(enhanced("noisy", "echo 'a warning' >&2; head -c $(wc -c) /dev/zero | tr '\\000' '\\377'"),
            "Audio enhancement failed: a warning\nthe delay of ffmpeg's filters could not be measured: it gave back "
            "samples that are no sound");
  EXPECT_EQ(enhanced("more", "cat; head -c 100000000 /dev/zero"),
            "Audio enhancement failed: the delay of ffmpeg's filters could not be measured: it gave back more sound "
            "than it was given");
  // A tool that gives its sound earlier than it was given it: no delay makes up for that.
  EXPECT_EQ(enhanced("early", "tail -c +4001"),
            "Audio enhancement failed: the delay of ffmpeg's filters could not be measured: the click sent through "
            "them did not come back");
}

// The tool's failures, each with its reason: its own words, the signal that ended it (the
// out-of-memory killer says nothing first), its exit status where it said nothing, or how much
// of the sound it gave back when it ended well with less. Those used to read "Audio enhancement
// failed: " and nothing after it, or pass as a success.
TEST_F(AudioEnhancerTest, FailuresAreReportedAndLeaveNoFileBehind) {
  const std::vector<float> second(16000, 0.1f);
  const auto enhanced = [&](const AudioEnhancer& enhancer) -> std::string {
    try {
      const AudioEnhancer::Enhanced result = enhancer.enhance(second, {});
      return "gave " + std::to_string(result.samples.size()) + " samples, said: " + result.toolErrors.toStdString();
    } catch (const std::runtime_error& error) {
      return error.what();
    }
  };
  EXPECT_EQ(enhanced(AudioEnhancer(std::nullopt)), "FFmpeg not found. Install with: sudo apt install ffmpeg");
  // (A tool that takes none of its input and ends leaves the rest of it unwritten, no more.)
  EXPECT_EQ(enhanced(AudioEnhancer(fakeTool("refusing", "echo 'bad filter' >&2; exit 1"))),
            "Audio enhancement failed: bad filter\n");
  EXPECT_EQ(enhanced(AudioEnhancer(fakeTool("mute", "exit 3"))),
            "Audio enhancement failed: ffmpeg ended with exit status 3");
  EXPECT_EQ(enhanced(AudioEnhancer(fakeTool("killed", "kill -9 $$"))),
            "Audio enhancement failed: ffmpeg was ended by signal 9 (Killed)");
  EXPECT_EQ(enhanced(AudioEnhancer(fakeTool("killed-saying", "echo 'out of memory' >&2; kill -9 $$"))),
            "Audio enhancement failed: out of memory\nffmpeg was ended by signal 9 (Killed)");
  // ffmpeg takes a read error, or damage it cannot step over, for the end of its input and ends
  // well: what it said is not passed over.
  EXPECT_EQ(
      enhanced(AudioEnhancer(fakeTool(
          "short", "head -c 32000; echo 'pipe:0: Invalid data found when processing input' >&2; cat >/dev/null"))),
      "Audio enhancement failed: pipe:0: Invalid data found when processing input\nffmpeg gave back 0.5 s of "
      "the 1.0 s of sound given to it");
  EXPECT_EQ(enhanced(AudioEnhancer(fakeToolPastTheClick("silent", "exit 0"))),
            "Audio enhancement failed: ffmpeg gave back 0.0 s of the 1.0 s of sound given to it");
  // Given back: more than the sound (zeros before it), or values no sound has (bytes that were
  // never samples). Those used to be taken, the first samples kept. A tool that keeps giving
  // more is ended: it does not get to its end.
  const std::string finished = path("flooding-finished").toStdString();
  EXPECT_EQ(enhanced(AudioEnhancer(fakeToolPastTheClick(
                "flooding", "head -c 2000000000 /dev/zero; touch '" + finished + "'; cat \"$in\""))),
            "Audio enhancement failed: ffmpeg gave back more than the 1.0 s of sound given to it");
  EXPECT_FALSE(std::filesystem::exists(finished));
  EXPECT_EQ(enhanced(AudioEnhancer(
                fakeToolPastTheClick("not-numbers", "head -c $(wc -c < \"$in\") /dev/zero | tr '\\000' '\\377'"))),
            "Audio enhancement failed: ffmpeg gave back values that are no sound (not a number, infinite, or over 16 "
            "times full scale): 16000 of 16000 samples");
  // The largest number and infinity, in the middle of sound.
  EXPECT_EQ(enhanced(AudioEnhancer(
                fakeToolPastTheClick("out-of-bounds",
                                     "head -c 400 \"$in\"; printf '\\377\\377\\177\\177\\000\\000\\200\\177'; "
                                     "tail -c +409 \"$in\"; echo 'a warning' >&2"))),
            "Audio enhancement failed: a warning\nffmpeg gave back values that are no sound (not a number, infinite, "
            "or over 16 times full scale): 2 of 16000 samples");
  // Of a tool that says much, its last lines: as much as anyone reads, and no more than that is
  // held (all of it was, and four times over on its way into the error's text).
  const std::string said = enhanced(AudioEnhancer(
      fakeTool("chatty", "seq 1 100000 | sed 's/^/pipe:0: damaged at /' >&2; echo 'the last words' >&2; exit 1")));
  EXPECT_LE(said.size(), std::string("Audio enhancement failed: ").size() + 64 * 1024);
  EXPECT_GT(said.size(), 60 * 1024);
  EXPECT_TRUE(said.starts_with("Audio enhancement failed: pipe:0: damaged at ")) << said.substr(0, 80);
  EXPECT_TRUE(said.ends_with("pipe:0: damaged at 100000\nthe last words\n")) << said.substr(said.size() - 80);
  EXPECT_EQ(enhanced(AudioEnhancer(fakeTool("warning", "cat; echo 'a warning' >&2"))),
            "gave 16000 samples, said: a warning");

  writeFloatWav(tempDir / "in.wav", std::vector<float>(16000, 0.1f));
  AudioEnhancer failing(
      fakeTool("failing", "for last; do :; done; echo partial > \"$last\"; echo 'bad filter' >&2; exit 1"),
      path("tmp"));
  AudioEnhancer silent(fakeTool("silent-file", "exit 0"), path("tmp"));
  AudioEnhancer killed(fakeTool("killed-file", "for last; do :; done; echo partial > \"$last\"; kill -9 $$"),
                       path("tmp"));
  AudioEnhancer saying(fakeTool("saying", "for last; do :; done; echo RIFF > \"$last\"; echo '" +
                                              path("in.wav").toStdString() + ": Input/output error' >&2"),
                       path("tmp"));
  EXPECT_EQ(wait([&](auto done) { failing.generatePreview(path("missing.wav"), {}, done); }).error,
            "Input audio file not found");
  // A preview the tool wrote part of before it failed is a failure, not a file, and says why as
  // the samples' does; one the tool ended well without writing is a failure too; one it ended
  // well with after an error says the error.
  for (AudioEnhancer* enhancer : {&failing, &silent, &killed, &saying}) {
    for (const bool enhanced : {false, true}) {
      const auto preview = wait([&](auto done) {
        if (enhanced) return enhancer->generatePreview(path("in.wav"), {}, done);
        enhancer->generateOriginalPreview(path("in.wav"), done);
      });
      if (enhancer == &saying) {
        ASSERT_TRUE(preview.outputPath);
        EXPECT_EQ(preview.toolErrors.toStdString(), path("in.wav").toStdString() + ": Input/output error");
        AudioEnhancer::cleanupTempFile(*preview.outputPath);
        EXPECT_EQ(openFilesIn(path("tmp")).join(", ").toStdString(), "");
        continue;
      }
      EXPECT_FALSE(preview.outputPath);
      EXPECT_EQ(preview.error.toStdString(), enhancer == &failing ? "Audio enhancement failed: bad filter\n"
                                             : enhancer == &killed
                                                 ? "Audio enhancement failed: ffmpeg was ended by signal 9 (Killed)"
                                                 : "Failed to create enhanced audio file");
      EXPECT_TRUE(tempFiles().isEmpty());
      EXPECT_EQ(openFilesIn(path("tmp")).join(", ").toStdString(), "");
    }
  }
  // An enhancer that goes (the application ending) while its tool writes ends the tool and
  // removes what it wrote, of both previews alike.
  const QString pidFile = path("tool.pid");
  auto writing = std::make_unique<AudioEnhancer>(
      fakeTool("writing", "echo $$ >> '" + pidFile.toStdString() +
                              "'; for last; do :; done; echo partial > \"$last\"; exec sleep 60"),
      path("tmp"));
  writing->generateOriginalPreview(path("in.wav"), [](const AudioEnhancer::Outcome&) { ADD_FAILURE() << "answered"; });
  writing->generatePreview(path("in.wav"), {}, [](const AudioEnhancer::Outcome&) { ADD_FAILURE() << "answered"; });
  ASSERT_TRUE(testsupport::waitUntil([&] { return tempFiles().size() == 2; })) << tempFiles().join(", ").toStdString();
  writing.reset();
  EXPECT_EQ(tempFiles().join(", ").toStdString(), "");
  EXPECT_EQ(openFilesIn(path("tmp")).join(", ").toStdString(), "");
  for (const QString& pid :
       QString::fromStdString(testsupport::readFile(pidFile.toStdString())).split('\n', Qt::SkipEmptyParts))
    EXPECT_FALSE(QFileInfo::exists("/proc/" + pid)) << "the tool " << pid.toStdString() << " runs on";
}

// The samples' enhancement runs on a worker of the road: a stop asked for there (the application
// ending) ends the tool at once.
TEST_F(AudioEnhancerTest, AStopEndsTheToolFilteringTheSamples) {
  const QString pidFile = path("tool.pid");
  const AudioEnhancer enhancer(fakeTool("slow", "echo $$ > '" + pidFile.toStdString() + "'; exec sleep 60"));
  std::stop_source stop;
  std::jthread asker([&] {
    testsupport::waitUntil([&] { return QFileInfo(pidFile).size() > 0; }, 30000);
    stop.request_stop();
  });
  QElapsedTimer clock;
  clock.start();
  EXPECT_THROW(enhancer.enhance(std::vector<float>(16000 * 60, 0.1f), {}, {}, stop.get_token()),
               voxtrellis::WorkStopped);
  EXPECT_LT(clock.elapsed(), 30000);
  const QString pid = QString::fromStdString(testsupport::readFile(pidFile.toStdString())).trimmed();
  EXPECT_TRUE(testsupport::waitUntil([&] { return !QFileInfo::exists("/proc/" + pid); }, 5000));
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

// The road loads the file as without enhancement, then has the samples enhanced: the stages in
// that order, nothing written to the temporary folder, and the enhanced samples (as many as the
// loaded ones) are what the run keeps, in memory and in the sample cache.
TEST_F(AudioEnhancerTest, TheRoadEnhancesTheLoadedSamplesAndKeepsThem) {
  Harness h(std::make_shared<FakeEngine>());
  ASSERT_TRUE(h.startModels());
  const std::vector<float> talk = twoVoices(3.0, {});
  writeFloatWav(h.dir / "talk.wav", talk);
  ASSERT_TRUE(h.turnOnEnhancement());
  QStringList stages;
  QObject::connect(h.vm.get(), &TranscriptionViewModel::stateChanged, [&] {
    const auto stage = h.vm->state().stage();
    if (stage && (stages.isEmpty() || stages.last() != rawValue(*stage))) stages << rawValue(*stage);
  });
  h.vm->processFile(QUrl::fromLocalFile(h.path("talk.wav")));
  ASSERT_TRUE(h.settle());
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
  EXPECT_EQ(stages.mid(0, 3).join(" | ").toStdString(),
            "Loading audio file... | Enhancing audio quality... | Transcribing speech...");
  QStringList lines;
  for (const auto& entry : h.vm->logs()) lines << entry.message;
  const qsizetype loading = lines.indexOf("Loading audio file...");
  ASSERT_GE(loading, 0);
  EXPECT_EQ(lines.mid(loading, 4).join(" | ").toStdString(),
            "Loading audio file... | Enhancing audio quality... | Enhancement: Normalize, Compress | Audio enhanced "
            "successfully");
  EXPECT_EQ(h.vm->enhancementProgress(), 1.0);
  EXPECT_EQ(h.vm->currentFile(), QUrl::fromLocalFile(h.path("talk.wav")));
  EXPECT_NEAR(h.vm->cachedDuration().value_or(0), 3.0, 0.01);
  EXPECT_TRUE(QDir(h.path("tmp")).entryList(QDir::Files).isEmpty());
  const AudioSource* source = h.vm->currentAudioSource();
  ASSERT_NE(source, nullptr);
  ASSERT_TRUE(testsupport::waitUntil([&] { return h.logged("Audio samples cached to disk"); }));
  const std::optional<std::vector<float>> cached = h.sampleCache->loadCachedSamples(source->id());
  ASSERT_TRUE(cached);
  ASSERT_EQ(cached->size(), talk.size());
  EXPECT_NE(*cached, talk) << "the samples kept are not the enhanced ones";
}

// An ffmpeg killed while it enhances (the out-of-memory killer, say) fails the run with the
// signal named; the run's error used to read "Audio enhancement failed: " and nothing more.
TEST_F(AudioEnhancerTest, ARunWhoseToolIsKilledFailsNamingTheSignal) {
  Harness h(std::make_shared<FakeEngine>(), true, {}, nullptr, fakeTool("killed-road", "kill -9 $$"));
  ASSERT_TRUE(h.startModels());
  writeFloatWav(h.dir / "talk.wav", twoVoices(3.0, {}));
  ASSERT_TRUE(h.turnOnEnhancement());
  h.vm->processFile(QUrl::fromLocalFile(h.path("talk.wav")));
  ASSERT_TRUE(h.settle());
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed);
  EXPECT_EQ(h.vm->state().error()->message.toStdString(),
            "Audio enhancement failed: ffmpeg was ended by signal 9 (Killed)");
  EXPECT_TRUE(h.logged("Error: Audio enhancement failed: ffmpeg was ended by signal 9 (Killed)"));
  EXPECT_TRUE(h.context->fetch<Transcription>().isEmpty());
}

// ffmpeg takes damage it cannot step over (a raw AAC header that states no length, two seconds
// in) for the end of the file: it says so and ends well, the excerpts cut short there. The
// preview says what it said, and is still made; it used to pass in silence.
TEST_F(AudioEnhancerTest, APreviewCutShortByDamageSaysWhatFfmpegSaid) {
  Harness h(std::make_shared<FakeEngine>());
  writeFloatWav(h.dir / "talk.wav", twoVoices(14.0, {}));
  ASSERT_TRUE(ffmpeg({"-i", h.path("talk.wav"), "-ar", "44100", "-c:a", "aac", "-f", "adts", h.path("whole.aac")}));
  const std::string whole = testsupport::readFile(h.dir / "whole.aac");
  testsupport::writeFile(h.dir / "talk.aac", voxtrellis::test::withAdtsFrameLength(
                                                 whole, voxtrellis::test::adtsHeaderPast(whole, 0.15), 0));
  ASSERT_TRUE(h.startModels());
  h.vm->processFile(QUrl::fromLocalFile(h.path("talk.aac")));
  ASSERT_TRUE(h.settle());
  ASSERT_TRUE(testsupport::waitUntil([&] { return h.vm->isEnhancerAvailable(); }));
  h.vm->generateEnhancementPreview();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h.vm->isGeneratingPreview(); }, 30000));
  EXPECT_TRUE(h.logged("ffmpeg reported while making the preview: " + h.path("talk.aac") +
                       ": Invalid data found when processing input"));
  EXPECT_TRUE(h.logged("Preview ready - compare Original vs Enhanced"));
  const auto excerpt = AudioProcessor::probeLength(h.vm->previewOriginalURL().toLocalFile());
  ASSERT_TRUE(excerpt);
  EXPECT_LT(double(excerpt->frames) / excerpt->sampleRate, 5.0);
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
