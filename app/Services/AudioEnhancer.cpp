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
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <signal.h>
#include <sys/stat.h>

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

// The tool's file as it is now (its path, and where it lies and what it is on the disk): another
// file there, or the same one replaced, is another tool. Empty when it cannot be told.
QString toolIdentity(const QString& path) {
  struct stat status {};
  if (::stat(QFile::encodeName(path).constData(), &status) != 0) return {};
  return QStringLiteral("%1 %2:%3 %4 %5.%6")
      .arg(path)
      .arg(status.st_dev)
      .arg(status.st_ino)
      .arg(status.st_size)
      .arg(status.st_mtim.tv_sec)
      .arg(status.st_mtim.tv_nsec);
}

// The chains' delays measured, by the tool and the chain (see chainDelay): shared by the
// enhancers, whatever thread they run on.
struct MeasuredDelays {
  std::mutex mutex;
  std::map<QString, std::size_t> delays;
};

MeasuredDelays& measuredDelays() {
  static MeasuredDelays measured;
  return measured;
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

AudioEnhancer::Filtered AudioEnhancer::filter(std::span<const float> input, const QStringList& arguments,
                                              std::size_t skip, std::size_t keep,
                                              const std::function<void(double)>& progress,
                                              const std::stop_token& stop) const {
  Filtered filtered;
  filtered.samples.resize(keep);
  const std::size_t skipBytes = skip * sizeof(float);
  const std::size_t keepBytes = keep * sizeof(float);
  // Past this the tool is not rounding: it is ended, and what it gives meanwhile is not kept.
  const std::size_t allowedBytes = (skip + keep + kRoundingTolerated) * sizeof(float);
  std::size_t received = 0;  // bytes the tool gave back, the skipped ones included
  bool tooMuch = false;
  double reported = 0;
  ProcessRequest request;
  request.program = *m_ffmpegPath;
  request.arguments = arguments;
  request.standardInput = QByteArrayView(reinterpret_cast<const char*>(input.data()), qsizetype(input.size_bytes()));
  request.standardOutputData = [&](QByteArrayView bytes) {
    const std::size_t from = received;
    received += std::size_t(bytes.size());
    tooMuch = received > allowedBytes;
    const std::size_t begin = std::max(from, skipBytes);
    const std::size_t end = std::min(received, skipBytes + keepBytes);
    if (begin < end) {
      std::memcpy(reinterpret_cast<char*>(filtered.samples.data()) + (begin - skipBytes), bytes.data() + (begin - from),
                  end - begin);
    }
    // A thousandth at a time (a long recording comes back in many thousand pieces), and the end.
    const double done = std::min(1.0, double(received) / double(skipBytes + keepBytes));
    if (progress && (done >= reported + 0.001 || (done == 1.0 && reported < 1.0))) {
      reported = done;
      progress(done);
    }
  };
  const ProcessOutcome outcome =
      ProcessRunner::runToEnd(request, [&stop, &tooMuch] { return tooMuch || stop.stop_requested(); });
  if (stop.stop_requested()) throw voxtrellis::WorkStopped("Enhancing the audio");
  if (outcome.kind == ProcessOutcome::Kind::failedToStart) throw std::runtime_error(outcome.startError.toStdString());
  const bool endedForIt = tooMuch && outcome.kind == ProcessOutcome::Kind::cancelled;
  if (!outcome.succeeded() && !endedForIt) {
    throw std::runtime_error(
        (kFailed + failureText(outcome.standardError, outcome.exitCode, outcome.signal)).toStdString());
  }
  filtered.given = received / sizeof(float);
  filtered.toolErrors = toolSaid(outcome.standardError);
  return filtered;
}

std::size_t AudioEnhancer::chainDelay(const AudioEnhancementSettings& settings, const std::stop_token& stop) const {
  const QString chain = enhancement::buildFilterChain(settings);
  const QString tool = toolIdentity(*m_ffmpegPath);
  const QString key = tool + '\n' + chain;
  MeasuredDelays& measured = measuredDelays();
  if (!tool.isEmpty()) {
    const std::scoped_lock lock(measured.mutex);
    if (const auto found = measured.delays.find(key); found != measured.delays.end()) return found->second;
  }
  std::vector<float> click(kProbeLength, 0.0f);
  click[kClickAt] = 0.95f;
  const Filtered back = filter(click, enhancement::samplesArguments(settings, int(kProbePadding)), 0,
                               kProbeLength + kProbePadding, {}, stop);
  const auto unmeasured = [&back](const QString& reason) {
    const QString text = "the delay of ffmpeg's filters could not be measured: " + reason;
    return std::runtime_error(
        (kFailed + (back.toolErrors.isEmpty() ? text : back.toolErrors + '\n' + text)).toStdString());
  };
  if (back.given > kProbeLength + kProbePadding + kRoundingTolerated)
    throw unmeasured("it gave back more sound than it was given");
  const std::span<const float> heard(back.samples.data(), std::min(back.given, back.samples.size()));
  if (notSound(heard) > 0) throw unmeasured("it gave back samples that are no sound");
  // The click comes back as the loudest sample, and far louder than anything not next to it (its
  // echo in the filters): else it is not told apart.
  const auto magnitude = [](float value) { return std::abs(value); };
  const auto loudest = std::ranges::max_element(heard, {}, magnitude);
  const std::size_t at = loudest == heard.end() ? 0 : std::size_t(loudest - heard.begin());
  float rest = 0;
  for (std::size_t i = 0; i < heard.size(); ++i) {
    if (i + kClickReach < at || i > at + kClickReach) rest = std::max(rest, std::abs(heard[i]));
  }
  // A millisecond early is in its place (the placement the enhancement promises); earlier is no
  // delay that dropping samples can make up.
  if (loudest == heard.end() || *loudest == 0.0f || rest * 4 > std::abs(*loudest) || at + kClickReach < kClickAt)
    throw unmeasured("the click sent through them did not come back");
  const std::size_t delay = at > kClickAt ? at - kClickAt : 0;
  if (!tool.isEmpty()) {
    const std::scoped_lock lock(measured.mutex);
    measured.delays[key] = delay;
  }
  return delay;
}

std::size_t AudioEnhancer::notSound(std::span<const float> samples) {
  return std::size_t(std::ranges::count_if(
      samples, [](float value) { return !std::isfinite(value) || std::abs(value) > kLoudestSound; }));
}

AudioEnhancer::Enhanced AudioEnhancer::enhance(std::span<const float> samples, const AudioEnhancementSettings& settings,
                                               const std::function<void(double)>& progress,
                                               std::stop_token stop) const {
  if (!m_ffmpegPath) throw std::runtime_error(kNotFound);
  Enhanced enhanced;
  if (samples.empty()) return enhanced;
  // What the chain gives back late is dropped from the start: the chain pads the sound with as
  // much silence, which comes out last.
  const std::size_t delay = chainDelay(settings, stop);
  Filtered filtered =
      filter(samples, enhancement::samplesArguments(settings, int(delay)), delay, samples.size(), progress, stop);
  enhanced.toolErrors = filtered.toolErrors;
  const auto fail = [&enhanced](const QString& fault) {
    return std::runtime_error(
        (kFailed + (enhanced.toolErrors.isEmpty() ? fault : enhanced.toolErrors + '\n' + fault)).toStdString());
  };
  const auto seconds = [](std::size_t count) { return QString::number(double(count) / 16000.0, 'f', 1); };
  // A tool that ended well with less than it was given (an error it took for the end of its
  // input) would cut the transcript short, one that gave more would move it: what it said, then
  // how much came back. A few samples of rounding (a resampler's) are made up with silence, or
  // dropped.
  const std::size_t back = filtered.given > delay ? filtered.given - delay : 0;
  if (back + kRoundingTolerated < samples.size()) {
    throw fail(QStringLiteral("ffmpeg gave back %1 s of the %2 s of sound given to it")
                   .arg(seconds(back), seconds(samples.size())));
  }
  if (back > samples.size() + kRoundingTolerated) {
    throw fail(QStringLiteral("ffmpeg gave back more than the %1 s of sound given to it").arg(seconds(samples.size())));
  }
  const std::size_t kept = std::min(back, samples.size());
  if (const std::size_t wrong = notSound(std::span<const float>(filtered.samples).first(kept)); wrong > 0) {
    throw fail(QStringLiteral("ffmpeg gave back values that are no sound (not a number, infinite, or over %1 times "
                              "full scale): %2 of %3 samples")
                   .arg(kLoudestSound)
                   .arg(wrong)
                   .arg(kept));
  }
  enhanced.samples = std::move(filtered.samples);
  std::fill(enhanced.samples.begin() + std::ptrdiff_t(kept), enhanced.samples.end(), 0.0f);
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
