#include "Services/AudioEnhancer.h"

#include "Models/UuidText.h"
#include "Services/EnhancementCommands.h"
#include "Services/HeldFiles.h"
#include "Services/ProcessRunner.h"
#include "Services/TemporaryFolder.h"
#include "Services/ToolLocator.h"

#include <voxtrellis/WorkStopped.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include <signal.h>

namespace parlowvista {

namespace {

// ffmpeg would wait on a named pipe (or a device) for good.
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

int AudioEnhancer::removeLeftovers(const QString& folder, std::stop_token stop) {
  int removed = 0;
  const QDir dir(folder);
  // One entry at a time, unsorted: a shared folder may hold any number of look-alikes.
  QDirIterator entries(folder, {QStringLiteral("parlowvista-*.wav")}, QDir::Files | QDir::Hidden);
  while (!stop.stop_requested() && entries.hasNext()) {
    const QString name = entries.nextFileInfo().fileName();
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
  if (result.started && result.exitCode == 0 && wasWritten(output)) {
    return {output, {}, toolSaid(result.standardError)};
  }
  cleanupTempFile(output);
  if (!result.started) return {std::nullopt, result.startError};
  if (result.exitCode == 0) return {std::nullopt, kNoOutput};
  return {std::nullopt, kFailed + failureText(result.standardError, result.exitCode, result.signal)};
}

QString AudioEnhancer::toolSaid(const QByteArray& standardError) {
  const QString text = QString::fromUtf8(standardError).trimmed();
  return text.isEmpty() && !standardError.trimmed().isEmpty() ? QStringLiteral("Unknown error") : text;
}

QString AudioEnhancer::failureText(const QByteArray& standardError, int exitCode, int signal) {
  QString text = QString::fromUtf8(standardError);
  if (text.isEmpty() && !standardError.isEmpty()) text = "Unknown error";
  // A tool killed from outside (the out-of-memory killer, say) has often said nothing: the
  // signal is the reason then, and the last line of what is shown.
  QString end;
  if (signal > 0) {
    const char* description = ::sigdescr_np(signal);
    end = QStringLiteral("ffmpeg was ended by signal %1").arg(signal) +
          (description ? QStringLiteral(" (%1)").arg(QString::fromUtf8(description)) : QString());
  } else if (text.trimmed().isEmpty()) {
    end = QStringLiteral("ffmpeg ended with exit status %1").arg(exitCode);
  }
  if (end.isEmpty()) return text;
  if (text.trimmed().isEmpty()) return end;
  return text.endsWith('\n') ? text + end : text + '\n' + end;
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
    result.signal = outcome.kind == ProcessOutcome::Kind::exited ? outcome.signal : 0;
    result.standardOutput = outcome.standardOutput;
    result.standardError = outcome.standardError;
    runner->deleteLater();
    done(result);
  });
}

AudioEnhancer::Enhanced AudioEnhancer::enhance(std::span<const float> samples, const AudioEnhancementSettings& settings,
                                               const std::function<void(double)>& progress,
                                               std::stop_token stop) const {
  if (!m_ffmpegPath) throw std::runtime_error(kNotFound);
  Enhanced enhanced;
  if (samples.empty()) return enhanced;
  // What the chain gives back late (see enhancement::chainDelay) is dropped from the start: the
  // chain pads the sound with as much silence, which comes out last.
  const auto delayBytes = static_cast<std::size_t>(enhancement::chainDelay(settings)) * sizeof(float);
  enhanced.samples.resize(samples.size());
  const std::size_t wanted = samples.size_bytes();
  std::size_t received = 0;  // bytes the tool gave back, the dropped ones included
  double reported = 0;
  ProcessRequest request;
  request.program = *m_ffmpegPath;
  request.arguments = enhancement::samplesArguments(settings);
  request.standardInput = QByteArrayView(reinterpret_cast<const char*>(samples.data()), qsizetype(wanted));
  request.standardOutputData = [&](QByteArrayView bytes) {
    // Bytes past the sound (there should be none) are counted and not kept.
    const std::size_t from = received;
    received += std::size_t(bytes.size());
    const std::size_t begin = std::max(from, delayBytes);
    const std::size_t end = std::min(received, delayBytes + wanted);
    if (begin < end) {
      std::memcpy(reinterpret_cast<char*>(enhanced.samples.data()) + (begin - delayBytes),
                  bytes.data() + (begin - from), end - begin);
    }
    // A thousandth at a time (a long recording comes back in many thousand pieces), and the end.
    const double done = std::min(1.0, double(received) / double(wanted + delayBytes));
    if (progress && (done >= reported + 0.001 || (done == 1.0 && reported < 1.0))) {
      reported = done;
      progress(done);
    }
  };
  const ProcessOutcome outcome = ProcessRunner::runToEnd(request, [&stop] { return stop.stop_requested(); });
  if (outcome.kind == ProcessOutcome::Kind::cancelled) throw voxtrellis::WorkStopped("Enhancing the audio");
  if (outcome.kind == ProcessOutcome::Kind::failedToStart) throw std::runtime_error(outcome.startError.toStdString());
  if (!outcome.succeeded()) {
    throw std::runtime_error(
        (kFailed + failureText(outcome.standardError, outcome.exitCode, outcome.signal)).toStdString());
  }
  enhanced.toolErrors = toolSaid(outcome.standardError);
  // A tool that ended well with less than it was given (an error it took for the end of its
  // input) would cut the transcript short: what it said, then how much came back. A few samples
  // of rounding (a resampler's) are made up with silence.
  const std::size_t back = received > delayBytes ? (received - delayBytes) / sizeof(float) : 0;
  if (back + kShortfallTolerated < samples.size()) {
    const QString shortfall = QStringLiteral("ffmpeg gave back %1 s of the %2 s of sound given to it")
                                  .arg(double(back) / 16000.0, 0, 'f', 1)
                                  .arg(double(samples.size()) / 16000.0, 0, 'f', 1);
    throw std::runtime_error(
        (kFailed + (enhanced.toolErrors.isEmpty() ? shortfall : enhanced.toolErrors + '\n' + shortfall)).toStdString());
  }
  if (back < samples.size()) std::fill(enhanced.samples.begin() + std::ptrdiff_t(back), enhanced.samples.end(), 0.0f);
  return enhanced;
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
