// Quitting while a file is enhanced or transcribed: the real application in a child process, one
// step of the run under way (recognition or diarization held in the middle with the generated
// models, or ffmpeg enhancing ten minutes of talk), quit by Ctrl+Q's action, SIGTERM or SIGHUP.
// The step ends at its next piece of work, not when it would have ended, and the process with
// it; nothing is left in the temporary folder; the library holds the file's row as it was
// before the run, passes its integrity check, and the next start opens it. Then the steps whose
// stop the view model's end brings, in this process: loading, the sample cache's write and
// re-transcribing a segment.

#include "App/Application.h"
#include "Models/AudioSource.h"
#include "Views/Shell/MainWindow.h"
#include "Views/Shell/ProcessingScreens.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/Processes.h"
#include "support/QuitInChild.h"
#include "support/ScopedEnv.h"
#include "support/ScopedSettingsFolder.h"
#include "support/TimeLeft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

using namespace pipelinetest;

namespace {

constexpr const char* kPieceAfterStop = "Piece done after the stop:";

// The generated models, one step's work (chunks of recognition, windows' voice vectors) held
// from its second piece on until the run is asked to stop, as a step with real models on a long
// file would still be under way: what the stop meets then are the engine's own checks between
// pieces. Each piece done after the stop is said on standard error, unbuffered, so that a
// process ended by a signal has said it too. Any other step goes as the generated models go.
class HeldStepEngine : public SpeechEngine {
 public:
  explicit HeldStepEngine(ProcessingStage held) : m_engine(fixtureEngine()), m_held(held) {}

  std::shared_ptr<SpeechRecognizer> loadRecognizer(const std::function<void()>& modelsLoaded,
                                                   std::stop_token stop) override {
    auto recognizer = m_engine->loadRecognizer(modelsLoaded, std::move(stop));
    if (m_held != ProcessingStage::transcribing) return recognizer;
    return std::make_shared<Held>(this, std::move(recognizer), nullptr);
  }
  std::shared_ptr<SpeakerDiarizer> prepareDiarizer(const voxtrellis::OfflineDiarizerConfig& config,
                                                   std::stop_token stop) override {
    auto diarizer = m_engine->prepareDiarizer(config, std::move(stop));
    if (m_held != ProcessingStage::diarizing) return diarizer;
    return std::make_shared<Held>(this, nullptr, std::move(diarizer));
  }

  // Pieces of the held step done so far.
  std::atomic<int> pieces{0};

 private:
  // The real recogniser or diarizer, each progress report (one a piece) held until the stop.
  struct Held : SpeechRecognizer, SpeakerDiarizer {
    Held(HeldStepEngine* e, std::shared_ptr<SpeechRecognizer> r, std::shared_ptr<SpeakerDiarizer> d)
        : engine(e), recognizer(std::move(r)), diarizer(std::move(d)) {}
    voxtrellis::ASRResult transcribe(std::span<const float> samples, const StepProgress& progress,
                                     std::stop_token stop) override {
      return recognizer->transcribe(samples, held(progress, stop), stop);
    }
    voxtrellis::DiarizationResult process(std::span<const float> samples, const StepProgress& progress,
                                          std::stop_token stop) override {
      return diarizer->process(samples, held(progress, stop), stop);
    }
    StepProgress held(const StepProgress& progress, std::stop_token stop) const {
      return [engine = engine, progress, stop](double fraction) {
        if (progress) progress(fraction);
        if (stop.stop_requested()) {
          std::fprintf(stderr, "%s %d\n", kPieceAfterStop, ++engine->m_afterStop);
          return;
        }
        if (++engine->pieces < 2) return;
        // Longer than the parent waits for the end: a stop that never comes fails the test.
        engine->m_hold.hold(stop, std::chrono::minutes(5));
      };
    }
    HeldStepEngine* engine;
    std::shared_ptr<SpeechRecognizer> recognizer;
    std::shared_ptr<SpeakerDiarizer> diarizer;
  };

  std::shared_ptr<SpeechEngine> m_engine;
  ProcessingStage m_held;
  StopHold m_hold;
  std::atomic<int> m_afterStop{0};
};

// What the child is given: its folder (library, settings and temporary folder), the file, the
// step to quit in, and the signal the parent ends it with (none: Ctrl+Q's action).
constexpr const char* kFolder = "PV_RUN_QUIT_FOLDER";
constexpr const char* kFile = "PV_RUN_QUIT_FILE";
constexpr const char* kStep = "PV_RUN_QUIT_STEP";
constexpr const char* kSignal = "PV_RUN_QUIT_SIGNAL";
constexpr const char* kInTheStep = "Quitting in the step";
constexpr const char* kTool = "Tool running: ";  // a process the child started (ffmpeg)
// The engine looks for a stop before each piece: none, or one already under way, is done after it.
constexpr int kMostPiecesAfterStop = 1;

// The pieces the step did after it was asked to stop, as the child said them.
int piecesAfterStop(const QByteArray& output) {
  int count = 0;
  for (const QByteArray& line : output.split('\n')) {
    if (line.startsWith(kPieceAfterStop))
      count = std::max(count, line.mid(qsizetype(strlen(kPieceAfterStop))).trimmed().toInt());
  }
  return count;
}

// Ten minutes of talk: 46 chunks for the recogniser, 300 windows for the diarizer, and seconds
// of ffmpeg's work with every filter of the enhancement on.
constexpr double kTalkSeconds = 600;

Application::Environment environmentIn(const QString& folder, std::shared_ptr<SpeechEngine> engine = {}) {
  return Application::Environment(folder + "/share", QStringLiteral("com.lanternhollow.tests.runquit"),
                                  std::move(engine), folder + "/cache");
}

QString storeIn(const QString& folder) {
  return folder + "/share/Parlowvista/Parlowvista.store";
}

// The sound files in a folder: in the child's temporary folder, what the enhancer would have left.
QStringList soundFilesIn(const QString& folder) {
  return QDir(folder).entryList({QStringLiteral("*.wav")}, QDir::Files);
}

// The file's row as a library holds it: its sources, each with its versions' segment texts.
QStringList libraryRows(ModelContext& context) {
  QStringList rows;
  for (AudioSource* source : context.fetch<AudioSource>()) {
    QStringList versions;
    for (Transcription* version : source->transcriptions()) versions << storedTexts(context, version->id()).join("|");
    rows << source->originalPath() + ": " + versions.join(", ");
  }
  return rows;
}

TEST(PipelineQuitTest, QuittingWhileAFileIsEnhancedRecognisedOrDiarizedEndsTheProgramAndLeavesNothingBehind) {
  // Seven children, each given minutes: together within the test's limit.
  const testsupport::TimeLeft timeLeft(PV_TEST_TIMEOUT_SECONDS, 30);
  const testsupport::TempDir dir{"pv-run-quit"};
  const QString talk = QString::fromStdString((dir.path() / "talk.wav").string());
  writeFloatWav(talk.toStdString(), twoVoices(kTalkSeconds));
  struct Case {
    const char* step;
    int signal;  // 0: Ctrl+Q
  };
  int index = 0;
  for (const Case& c :
       {Case{"transcribing", 0}, Case{"transcribing", SIGTERM}, Case{"diarizing", 0}, Case{"diarizing", SIGTERM},
        Case{"enhancing", 0}, Case{"enhancing", SIGHUP}, Case{"enhancing", SIGTERM}}) {
    SCOPED_TRACE(std::string(c.step) + ", " + (c.signal ? strsignal(c.signal) : "Quit"));
    const QString folder = QString::fromStdString((dir.path() / ("run" + std::to_string(index++))).string());
    ASSERT_TRUE(QDir().mkpath(folder + "/share/Parlowvista"));
    // The file was transcribed before: its row and version are what the run must leave alone.
    QStringList before;
    {
      ModelContext context(storeIn(folder));
      auto* group = new TranscriptGroup("General", 0);
      context.insert(group);
      auto* source = new AudioSource(talk, "talk.wav", kTalkSeconds);
      group->appendAudioSource(source);
      context.insert(source);
      auto* version = new Transcription("Version 1", 1.0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 12);
      version->setAudioSource(source);
      context.updateSegments(version, TranscriptionResult({TranscribedSegment(0, 0.5, 2.4, "as it was")}, 600, 1));
      context.save();
      before = libraryRows(context);
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kFolder, folder);
    environment.insert(kFile, talk);
    environment.insert(kStep, c.step);
    if (c.signal) environment.insert(kSignal, QString::number(c.signal));
    const testsupport::QuitChild program = testsupport::quitChildAtMoment(
        environment, "PipelineQuitChildProcess.QuitsInTheStep", kInTheStep, c.signal != 0, timeLeft.atMost(120000),
        timeLeft.atMost(60000), c.signal ? c.signal : SIGTERM);
    ASSERT_TRUE(program.reachedMoment) << program.output.toStdString();
    // A held step is held until the stop, so a process that ends did not wait for it; once
    // asked, the step ends at the engine's next check, with most of its pieces left undone.
    EXPECT_TRUE(program.ended) << program.output.toStdString();
    EXPECT_LE(piecesAfterStop(program.output), kMostPiecesAfterStop)
        << "ended " << program.secondsToEnd << " s after Quit\n"
        << program.output.toStdString();
    if (c.signal) {
      EXPECT_EQ(program.exitStatus, QProcess::CrashExit) << program.output.toStdString();
    } else {
      EXPECT_EQ(program.exitCode, 0) << program.output.toStdString();
    }
    EXPECT_TRUE(program.output.contains("[  PASSED  ] 1 test")) << program.output.toStdString();
    // Nothing of the enhancement is left in the temporary folder, and its ffmpeg went with the
    // program.
    EXPECT_EQ(soundFilesIn(folder).join(", ").toStdString(), "") << program.output.toStdString();
    QList<qint64> tools;
    for (const QByteArray& line : program.output.split('\n')) {
      if (line.startsWith(kTool)) tools << line.mid(qsizetype(strlen(kTool))).trimmed().toLongLong();
    }
    EXPECT_EQ(tools.isEmpty(), std::string(c.step) != "enhancing") << program.output.toStdString();
    for (const qint64 tool : tools)
      EXPECT_TRUE(testsupport::waitUntil([&] { return testsupport::processEnded(tool); }, 10000));

    {
      ModelContext context(storeIn(folder));
      Statement check = context.database().prepare("PRAGMA integrity_check");
      ASSERT_EQ(check.step(), Statement::Step::row);
      EXPECT_EQ(check.text(0), "ok");
      EXPECT_EQ(libraryRows(context), before);
    }
    const testsupport::ScopedSettingsFolder settings(folder + "/config");
    EXPECT_NO_THROW(Application{environmentIn(folder)});
  }
}

// The program's road in the child: the window shows, the models start, the file is added as a
// user adds it (to be enhanced first, every filter on, for that step); once the held step has
// done its first pieces, or ffmpeg has given back a hundredth of the enhanced samples, Ctrl+Q's action
// quits, or the program's own loop runs on until the parent's signal ends it.
TEST(PipelineQuitChildProcess, QuitsInTheStep) {
  const QString folder = qEnvironmentVariable(kFolder);
  ASSERT_FALSE(folder.isEmpty());
  const testsupport::ScopedSettingsFolder settings(folder + "/config");
  // The parent's folder is the temporary folder, as /tmp is a user's: not the test program's own
  // run folder inside it, which goes with the program and what was left in it.
  const testsupport::ScopedEnv temporary("TMPDIR", folder.toStdString());
  QSettings().setValue("hasCompletedOnboarding", true);
  const QString stepName = qEnvironmentVariable(kStep);
  const ProcessingStage step = stepName == "diarizing"   ? ProcessingStage::diarizing
                               : stepName == "enhancing" ? ProcessingStage::enhancingAudio
                                                         : ProcessingStage::transcribing;
  auto engine = std::make_shared<HeldStepEngine>(step);
  const auto startTheRun = [&](Application& application) {
    MainWindow& window = *application.mainWindow();
    using Screen = ProcessingScreens::Screen;
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.processingScreens()->screen() == Screen::ready; }, 60000));
    if (step == ProcessingStage::enhancingAudio) {
      AudioEnhancementSettings enhancement;
      enhancement.enabled = enhancement.noiseReduction = true;
      application.viewModel().setAudioEnhancement(enhancement);
      ASSERT_TRUE(application.viewModel().isEnhancerAvailable());
    }
    window.importFiles({QUrl::fromLocalFile(qEnvironmentVariable(kFile))});
    if (step != ProcessingStage::enhancingAudio) {
      ASSERT_TRUE(testsupport::waitUntil([&] { return engine->pieces >= 2; }, 60000));
    } else {
      // ffmpeg has given back the first of the enhanced samples.
      const TranscriptionViewModel& viewModel = application.viewModel();
      ASSERT_TRUE(testsupport::waitUntil(
          [&] {
            return viewModel.state().stage() == ProcessingStage::enhancingAudio &&
                   viewModel.enhancementProgress() > 0.01;
          },
          120000))
          << viewModel.enhancementProgress();
      for (const qint64 tool : testsupport::descendantsOf(QCoreApplication::applicationPid()))
        std::cout << kTool << tool << std::endl;
    }
    std::cout << kInTheStep << std::endl;
  };
  if (qEnvironmentVariableIsSet(kSignal)) {
    EXPECT_EQ(Application::run(environmentIn(folder, engine), startTheRun), 0);
    return;
  }
  auto application = std::make_unique<Application>(environmentIn(folder, engine));
  application->showMainWindow();
  startTheRun(*application);
  testsupport::quitByTheQuitAction(application);
}

// ---- the steps the view model's end stops -----------------------------------------------

// Bytes this process has read from files and pipes so far, all its threads (the kernel's count).
qint64 bytesRead() {
  QFile io(QStringLiteral("/proc/self/io"));
  if (!io.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : io.readAll().split('\n')) {
    if (line.startsWith("rchar:")) return line.mid(6).trimmed().toLongLong();
  }
  return -1;
}

// A sample cache whose writes wait, as on a busy disk, until the stop they were given comes.
class HeldWriteCache : public AudioCacheService {
 public:
  using AudioCacheService::AudioCacheService;
  QString cacheSamples(std::span<const float> samples, const QUuid& id, std::stop_token stop,
                       const voxtrellis::SoundPlaces* places) override {
    hold.hold(stop);
    return AudioCacheService::cacheSamples(samples, id, std::move(stop), places);
  }
  StopHold hold;
};

// The view model goes as the application ends, whichever the road (the application resets it
// once its event loop is over): its jobs are asked to stop, then waited for. Loading a file,
// the sample cache's write and re-transcribing a segment each see that stop, as recognition
// and diarization do above: the rest of the file is left unread, no cache file is kept, and the
// recogniser's next piece is not begun.
TEST(PipelineQuitTest, LoadingCachingAndReTranscribingEndWhenTheViewModelGoes) {
  const auto engine = std::make_shared<FakeEngine>();
  {
    SCOPED_TRACE("loading");
    Harness h(engine);
    ASSERT_TRUE(h.startModels());
    const QString talk = h.path("talk.wav");
    writeFloatWav(talk.toStdString(), std::vector<float>(std::size_t(kTalkSeconds * kRate), 0.25f));
    const qint64 size = QFileInfo(talk).size();
    const qint64 readBefore = bytesRead();
    ASSERT_GE(readBefore, 0) << "the kernel does not count this process's reads";
    h.vm->processFile(QUrl::fromLocalFile(talk));
    ASSERT_EQ(h.vm->state().stage(), ProcessingStage::loadingAudio);
    h.vm.reset();
    EXPECT_LT(bytesRead() - readBefore, size / 4) << "of " << size << " bytes";
  }
  {
    SCOPED_TRACE("caching");
    const testsupport::TempDir dir{"pv-quit-cache"};
    const auto cache = std::make_shared<HeldWriteCache>(QString::fromStdString((dir.path() / "Cache").string()));
    Harness h(engine, true, cache);
    ASSERT_TRUE(h.startModels());
    writeFloatWav(h.path("talk.wav").toStdString(), twoVoices(3.0, {}));
    h.vm->processFile(QUrl::fromLocalFile(h.path("talk.wav")));
    ASSERT_TRUE(testsupport::waitUntil([&] { return cache->hold.held == 1; }));
    h.vm.reset();
    EXPECT_EQ(cache->hold.stopped, 1);
    EXPECT_EQ(cache->hold.outlasted, 0);
    EXPECT_EQ(QDir(cache->cacheDirectory()).entryList(QDir::Files).join(", ").toStdString(), "");
  }
  {
    SCOPED_TRACE("re-transcribing");
    Harness h(engine);
    ASSERT_TRUE(h.startModels());
    writeFloatWav(h.path("talk.wav").toStdString(), twoVoices(3.0, {}));
    h.vm->processFile(QUrl::fromLocalFile(h.path("talk.wav")));
    ASSERT_TRUE(h.settle());
    ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
    engine->recognizeHold = std::make_shared<StopHold>();
    h.vm->retranscribeSegment(0);
    ASSERT_TRUE(testsupport::waitUntil([&] { return engine->recognizeHold->held == 1; }));
    h.vm.reset();
    EXPECT_EQ(engine->recognizeHold->stopped, 1);
    EXPECT_EQ(engine->recognizeHold->outlasted, 0);
  }
}

}  // namespace
