#include "Services/AudioEnhancer.h"

#include "Models/UuidText.h"
#include "Services/EnhancementCommands.h"
#include "Services/HeldFiles.h"
#include "Services/ProcessRunner.h"
#include "Services/TemporaryFolder.h"
#include "Services/ToolLocator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <filesystem>
#include <utility>

#include <signal.h>

namespace parlowvista {

namespace {

// ffprobe and ffmpeg would wait on a named pipe (or a device) for good.
bool isRegularFile(const QString& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(QFile::encodeName(path).toStdString(), error);
}

const char* kNotFound = "FFmpeg not found. Install with: sudo apt install ffmpeg";
const char* kNoInput = "Input audio file not found";
const char* kNoOutput = "Failed to create enhanced audio file";
const char* kFailed = "Audio enhancement failed: ";

// "parlowvista-<process id>-", then "preview_" or "preview_original_" or nothing, the UUID, ".wav".
const QRegularExpression& ownFileName() {
  static const QRegularExpression pattern(
      QStringLiteral("^parlowvista-([0-9]{1,9})-(?:preview_(?:original_)?)?"
                     "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.wav$"));
  return pattern;
}

// The output is made (empty) before the tool runs, so that it is held from the start: a tool
// that ended well has written to it.
bool wasWritten(const QString& output) {
  return QFileInfo(output).size() > 0;
}

// A process of another user answers "not permitted": it runs all the same.
bool isRunning(qint64 pid) {
  return pid == QCoreApplication::applicationPid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

std::optional<QString> AudioEnhancer::findFFmpeg() {
  return ToolLocator::find({"/usr/bin/ffmpeg", "/usr/local/bin/ffmpeg"}, {"ffmpeg"});
}

AudioEnhancer::AudioEnhancer(std::optional<QString> ffmpegPath, QString temporaryFolder, QObject* parent)
    : QObject(parent),
      m_ffmpegPath(std::move(ffmpegPath)),
      m_temporaryFolder(temporaryFolder.isEmpty() ? parlowvista::temporaryFolder() : temporaryFolder) {}

AudioEnhancer::~AudioEnhancer() {
  // Each tool is killed, and reaped, before its file goes: one still starting would otherwise
  // make the file afresh.
  for (auto& [runner, output] : std::exchange(m_running, {})) {
    delete runner;
    if (!output.isEmpty()) cleanupTempFile(output);
  }
}

QString AudioEnhancer::newTempPath(const QString& prefix) const {
  return QDir(m_temporaryFolder)
      .filePath(QStringLiteral("parlowvista-%1-").arg(QCoreApplication::applicationPid()) + prefix +
                uuidText(QUuid::createUuid()) + ".wav");
}

void AudioEnhancer::cleanupTempFile(const QString& path) {
  QFile::remove(path);
  HeldFiles::release(path);
}

int AudioEnhancer::removeLeftovers(const QString& folder) {
  int removed = 0;
  const QDir dir(folder);
  for (const QString& name : dir.entryList({QStringLiteral("parlowvista-*.wav")}, QDir::Files | QDir::Hidden)) {
    const QRegularExpressionMatch own = ownFileName().match(name);
    if (!own.hasMatch()) continue;
    // The lock decides wherever locks work: the number says nothing of a copy in another
    // process-id namespace (a container's first process is 1 there, a kernel thread's number
    // here). It is all there is to go by in a folder without locks.
    const qint64 pid = own.captured(1).toLongLong();
    if (HeldFiles::removeUnlessHeld(dir.filePath(name), [pid] { return pid > 0 && !isRunning(pid); })) ++removed;
  }
  return removed;
}

AudioEnhancer::Outcome AudioEnhancer::outcomeOf(const ToolResult& result, const QString& output) {
  if (result.started && result.exitCode == 0 && wasWritten(output)) return {output, {}};
  cleanupTempFile(output);
  if (!result.started) return {std::nullopt, result.startError};
  if (result.exitCode == 0) return {std::nullopt, kNoOutput};
  QString text = QString::fromUtf8(result.standardError);
  if (text.isEmpty() && !result.standardError.isEmpty()) text = "Unknown error";
  return {std::nullopt, kFailed + text};
}

void AudioEnhancer::runTool(const QString& program, const QStringList& arguments,
                            std::function<void(const QByteArray&)> onOutput,
                            std::function<void(const ToolResult&)> done, const QString& output) {
  auto* runner = new ProcessRunner(this);
  m_running.emplace(runner, output);
  ProcessRequest request;
  request.program = program;
  request.arguments = arguments;
  if (onOutput) request.standardOutputLine = std::move(onOutput);
  runner->start(std::move(request), [this, runner, done](const ProcessOutcome& outcome) {
    m_running.erase(runner);
    ToolResult result;
    result.started = outcome.kind != ProcessOutcome::Kind::failedToStart;
    result.startError = outcome.startError;
    result.exitCode = outcome.kind == ProcessOutcome::Kind::exited ? outcome.exitCode : -1;
    result.standardOutput = outcome.standardOutput;
    result.standardError = outcome.standardError;
    runner->deleteLater();
    done(result);
  });
}

void AudioEnhancer::enhance(const QString& inputPath, const AudioEnhancementSettings& settings,
                            std::function<void(double)> progress, Done done) {
  if (!m_ffmpegPath) return done({std::nullopt, kNotFound});
  if (!QFileInfo::exists(inputPath)) return done({std::nullopt, kNoInput});
  if (!isRegularFile(inputPath)) {
    return done({std::nullopt, kFailed + QFileInfo(inputPath).fileName() + " is not a regular file"});
  }
  const QString output = newTempPath("");
  if (const QString failure = HeldFiles::create(output); !failure.isEmpty())
    return done({std::nullopt, kFailed + failure});
  const QString ffmpeg = *m_ffmpegPath;
  const QStringList arguments = enhancement::enhanceArguments(inputPath, output, settings);
  const auto run = [this, ffmpeg, arguments, output, progress, done](double duration) {
    auto onOutput = [progress, duration](const QByteArray& chunk) {
      if (!progress) return;
      if (const auto fraction = enhancement::parseProgress(QString::fromUtf8(chunk), duration)) progress(*fraction);
    };
    runTool(
        ffmpeg, arguments, onOutput, [output, done](const ToolResult& result) { done(outcomeOf(result, output)); },
        output);
  };
  const QString probe = QFileInfo(ffmpeg).dir().filePath("ffprobe");
  if (!QFileInfo::exists(probe)) return run(60.0);
  runTool(
      probe, enhancement::probeArguments(inputPath), {},
      [run, output, done](const ToolResult& result) {
        if (!result.started) {
          AudioEnhancer::cleanupTempFile(output);
          return done({std::nullopt, result.startError});
        }
        run(enhancement::parseProbeDuration(result.standardOutput));
      },
      output);
}

void AudioEnhancer::renderExcerpt(const QString& inputPath, const QString& output, const QStringList& arguments,
                                  Done done) {
  if (!m_ffmpegPath) return done({std::nullopt, kNotFound});
  if (!QFileInfo::exists(inputPath) || !isRegularFile(inputPath)) return done({std::nullopt, kNoInput});
  if (const QString failure = HeldFiles::create(output); !failure.isEmpty())
    return done({std::nullopt, kFailed + failure});
  runTool(
      *m_ffmpegPath, arguments, {}, [output, done](const ToolResult& result) { done(outcomeOf(result, output)); },
      output);
}

void AudioEnhancer::generatePreview(const QString& inputPath, const AudioEnhancementSettings& settings, Done done) {
  const QString output = newTempPath("preview_");
  renderExcerpt(inputPath, output, enhancement::previewArguments(inputPath, output, settings), std::move(done));
}

void AudioEnhancer::generateOriginalPreview(const QString& inputPath, Done done) {
  const QString output = newTempPath("preview_original_");
  renderExcerpt(inputPath, output, enhancement::originalPreviewArguments(inputPath, output), std::move(done));
}

}  // namespace parlowvista
