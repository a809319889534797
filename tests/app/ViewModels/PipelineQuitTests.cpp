// Quitting while a file is transcribed: the real application in a child process, the generated
// models made slow in one step of the run, quit by Ctrl+Q's action and by SIGTERM while that
// step is under way. The process ends within seconds, not when the step would have ended; the
// library holds the file's row as it was before the run, passes its integrity check, and the
// next start opens it.

#include "App/Application.h"
#include "Models/AudioSource.h"
#include "Views/Shell/MainWindow.h"
#include "Views/Shell/ProcessingScreens.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/QuitInChild.h"
#include "support/ScopedSettingsFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

using namespace pipelinetest;

namespace {

// The generated models, each piece of one step's work (a chunk of recognition, a window's
// voice vectors) made to take longer, as with real models on a slow machine: the step lasts
// many seconds on a file of minutes, and what a stop meets are the engine's own checks
// between pieces.
class SlowStepEngine : public SpeechEngine {
 public:
  SlowStepEngine(ProcessingStage slowed, std::chrono::milliseconds pause)
      : m_engine(fixtureEngine()), m_slowed(slowed), m_pause(pause) {}

  std::shared_ptr<SpeechRecognizer> loadRecognizer(const std::function<void()>& modelsLoaded,
                                                   std::stop_token stop) override {
    auto recognizer = m_engine->loadRecognizer(modelsLoaded, std::move(stop));
    if (m_slowed != ProcessingStage::transcribing) return recognizer;
    return std::make_shared<Slowed>(this, std::move(recognizer), nullptr);
  }
  std::shared_ptr<SpeakerDiarizer> prepareDiarizer(const voxtrellis::OfflineDiarizerConfig& config,
                                                   std::stop_token stop) override {
    auto diarizer = m_engine->prepareDiarizer(config, std::move(stop));
    if (m_slowed != ProcessingStage::diarizing) return diarizer;
    return std::make_shared<Slowed>(this, nullptr, std::move(diarizer));
  }

  // Pieces of the slowed step done so far.
  std::atomic<int> pieces{0};

 private:
  // The real recogniser or diarizer, each progress report (one a piece) made to wait.
  struct Slowed : SpeechRecognizer, SpeakerDiarizer {
    Slowed(SlowStepEngine* e, std::shared_ptr<SpeechRecognizer> r, std::shared_ptr<SpeakerDiarizer> d)
        : engine(e), recognizer(std::move(r)), diarizer(std::move(d)) {}
    voxtrellis::ASRResult transcribe(std::span<const float> samples, const StepProgress& progress,
                                     std::stop_token stop) override {
      return recognizer->transcribe(samples, slowed(progress), std::move(stop));
    }
    voxtrellis::DiarizationResult process(std::span<const float> samples, const StepProgress& progress,
                                          std::stop_token stop) override {
      return diarizer->process(samples, slowed(progress), std::move(stop));
    }
    StepProgress slowed(const StepProgress& progress) const {
      return [engine = engine, progress](double fraction) {
        if (progress) progress(fraction);
        ++engine->pieces;
        std::this_thread::sleep_for(engine->m_pause);
      };
    }
    SlowStepEngine* engine;
    std::shared_ptr<SpeechRecognizer> recognizer;
    std::shared_ptr<SpeakerDiarizer> diarizer;
  };

  std::shared_ptr<SpeechEngine> m_engine;
  ProcessingStage m_slowed;
  std::chrono::milliseconds m_pause;
};

// What the child is given: its folder (library and settings), the file, the step to quit in,
// and whether the parent's SIGTERM ends it rather than Ctrl+Q's action.
constexpr const char* kFolder = "PV_RUN_QUIT_FOLDER";
constexpr const char* kFile = "PV_RUN_QUIT_FILE";
constexpr const char* kStep = "PV_RUN_QUIT_STEP";
constexpr const char* kBySignal = "PV_RUN_QUIT_BY_SIGNAL";
constexpr const char* kInTheStep = "Quitting in the step";

// Ten minutes of talk: 46 chunks for the recogniser, 300 windows for the diarizer. At 0.4 s a
// chunk and 60 ms a window, either step lasts about 18 s.
constexpr double kTalkSeconds = 600;

Application::Environment environmentIn(const QString& folder, std::shared_ptr<SpeechEngine> engine = {}) {
  return Application::Environment(folder + "/share", QStringLiteral("com.lanternhollow.tests.runquit"),
                                  std::move(engine), folder + "/cache");
}

QString storeIn(const QString& folder) {
  return folder + "/share/Parlowvista/Parlowvista.store";
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

TEST(PipelineQuitTest, QuittingWhileAFileIsRecognisedOrDiarizedEndsTheProgramAndKeepsTheLibraryAsItWas) {
  const testsupport::TempDir dir{"pv-run-quit"};
  const QString talk = QString::fromStdString((dir.path() / "talk.wav").string());
  writeFloatWav(talk.toStdString(), twoVoices(kTalkSeconds));
  struct Case {
    const char* step;
    bool bySignal;
  };
  int index = 0;
  for (const Case& c :
       {Case{"transcribing", false}, Case{"transcribing", true}, Case{"diarizing", false}, Case{"diarizing", true}}) {
    SCOPED_TRACE(std::string(c.step) + (c.bySignal ? ", SIGTERM" : ", Quit"));
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
    if (c.bySignal) environment.insert(kBySignal, "1");
    environment.insert("TMPDIR", folder);
    const testsupport::QuitChild program = testsupport::quitChildAtMoment(
        environment, "PipelineQuitChildProcess.QuitsInTheStep", kInTheStep, c.bySignal, 120000, 60000);
    ASSERT_TRUE(program.reachedMoment) << program.output.toStdString();
    // The step had about 17 s to go: a process that ends within 10 s did not wait for it.
    EXPECT_TRUE(program.ended && program.secondsToEnd < 10) << "ended " << program.secondsToEnd << " s after Quit\n"
                                                            << program.output.toStdString();
    if (c.bySignal) {
      EXPECT_EQ(program.exitStatus, QProcess::CrashExit) << program.output.toStdString();
    } else {
      EXPECT_EQ(program.exitCode, 0) << program.output.toStdString();
    }
    EXPECT_TRUE(program.output.contains("[  PASSED  ] 1 test")) << program.output.toStdString();

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
// user adds it; once the slowed step has done a few pieces, Ctrl+Q's action quits, or the
// program's own loop runs on until the parent's SIGTERM ends it.
TEST(PipelineQuitChildProcess, QuitsInTheStep) {
  const QString folder = qEnvironmentVariable(kFolder);
  ASSERT_FALSE(folder.isEmpty());
  const testsupport::ScopedSettingsFolder settings(folder + "/config");
  QSettings().setValue("hasCompletedOnboarding", true);
  const ProcessingStage step =
      qEnvironmentVariable(kStep) == "diarizing" ? ProcessingStage::diarizing : ProcessingStage::transcribing;
  const auto pause = std::chrono::milliseconds(step == ProcessingStage::diarizing ? 60 : 400);
  auto engine = std::make_shared<SlowStepEngine>(step, pause);
  const auto startTheRun = [&](Application& application) {
    MainWindow& window = *application.mainWindow();
    using Screen = ProcessingScreens::Screen;
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.processingScreens()->screen() == Screen::ready; }, 60000));
    window.importFiles({QUrl::fromLocalFile(qEnvironmentVariable(kFile))});
    ASSERT_TRUE(testsupport::waitUntil([&] { return engine->pieces >= 2; }, 60000));
    std::cout << kInTheStep << std::endl;
  };
  if (qEnvironmentVariableIsSet(kBySignal)) {
    EXPECT_EQ(Application::run(environmentIn(folder, engine), startTheRun), 0);
    return;
  }
  auto application = std::make_unique<Application>(environmentIn(folder, engine));
  application->showMainWindow();
  startTheRun(*application);
  testsupport::quitByTheQuitAction(application);
}

}  // namespace
