#include "Services/YouTubeDownloader.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPromise>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QUuid>

#include <sys/types.h>
#include <unistd.h>
#include <csignal>
#include <utility>

namespace parlowvista {

namespace {

const QString kFolderPrefix = QStringLiteral("yt-download-");
const QString kOutputTemplate = QStringLiteral("%(title)s.%(ext)s");
constexpr int kKillWaitMilliseconds = 3000;

// Text that is not valid UTF-8 is treated as absent rather than shown garbled.
std::optional<QString> decodeUtf8(const QByteArray& bytes) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = decoder.decode(bytes);
  if (decoder.hasError()) {
    return std::nullopt;
  }
  return text;
}

// Only web addresses reach the tool: anything else (text starting with "-" above all) could be
// read as one of its options or as a local path.
bool isAcceptedAddress(const QString& address) {
  const QUrl url(address, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
         !url.host().isEmpty();
}

void removeFolder(const QString& path) {
  if (!path.isEmpty()) {
    QDir(path).removeRecursively();
  }
}

template <typename T>
QFuture<T> failedFuture(const DownloaderError& error) {
  QPromise<T> promise;
  QFuture<T> future = promise.future();
  promise.start();
  promise.setException(std::make_exception_ptr(error));
  promise.finish();
  return future;
}

}  // namespace

DownloaderError DownloaderError::downloadFailed(const QString& message) {
  return DownloaderError(Kind::downloadFailed, QStringLiteral("Download failed: ") + message, message);
}

DownloaderError DownloaderError::ytdlpNotFound() {
  return DownloaderError(Kind::ytdlpNotFound, QStringLiteral("yt-dlp not found. Install via: sudo apt install yt-dlp"),
                         QString());
}

DownloaderError DownloaderError::invalidURL() {
  return DownloaderError(Kind::invalidURL, QStringLiteral("Invalid URL"), QString());
}

DownloaderError DownloaderError::noAudioStream() {
  return DownloaderError(Kind::noAudioStream, QStringLiteral("No audio stream available"), QString());
}

struct YouTubeDownloader::Job {
  quint64 serial = 0;  // tells this job from a later one that may reuse its memory
  QString address;
  ProgressHandler handler;
  QPromise<DownloadedAudio> promise;
  QProcess* process = nullptr;
  QString folder;
  QByteArray partialLine[2];  // standard output, standard error
  QByteArray errorOutput;     // everything the tool wrote to standard error
};

YouTubeDownloader::YouTubeDownloader(QObject* parent) : YouTubeDownloader(findYtDlpSync(), parent) {}

YouTubeDownloader::YouTubeDownloader(std::optional<QString> ytdlpPath, QObject* parent)
    : QObject(parent), m_ytdlpPath(std::move(ytdlpPath)) {}

YouTubeDownloader::~YouTubeDownloader() {
  cancel();
}

QStringList YouTubeDownloader::defaultToolLocations() {
  return {QStringLiteral("/usr/local/bin/yt-dlp"), QStringLiteral("/usr/bin/yt-dlp")};
}

std::optional<QString> YouTubeDownloader::findYtDlpSync(const QStringList& locations) {
  for (const QString& location : locations) {
    if (QFileInfo::exists(location)) {
      return location;
    }
  }
  const QString onPath = QStandardPaths::findExecutable(QStringLiteral("yt-dlp"));
  if (onPath.isEmpty()) {
    return std::nullopt;
  }
  return onPath;
}

const QStringList& YouTubeDownloader::acceptedAudioExtensions() {
  static const QStringList extensions{QStringLiteral("m4a"),  QStringLiteral("mp3"),  QStringLiteral("wav"),
                                      QStringLiteral("opus"), QStringLiteral("webm"), QStringLiteral("ogg"),
                                      QStringLiteral("flac")};
  return extensions;
}

QFuture<DownloadedAudio> YouTubeDownloader::downloadAudio(const QString& address, ProgressHandler progressHandler) {
  if (!m_ytdlpPath) {
    return failedFuture<DownloadedAudio>(DownloaderError::ytdlpNotFound());
  }
  if (!isAcceptedAddress(address)) {
    return failedFuture<DownloadedAudio>(DownloaderError::invalidURL());
  }
  auto job = std::make_unique<Job>();
  job->serial = ++m_lastSerial;
  job->address = address;
  job->handler = std::move(progressHandler);
  job->promise.start();
  QFuture<DownloadedAudio> future = job->promise.future();
  m_waiting.push_back(std::move(job));
  if (!m_current) {
    startNext();
  }
  return future;
}

void YouTubeDownloader::startNext() {
  if (m_current || m_waiting.empty()) {
    return;
  }
  m_current = std::move(m_waiting.front());
  m_waiting.pop_front();
  Job& job = *m_current;

  const QString folder =
      QDir(QDir::tempPath()).filePath(kFolderPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
  if (!QDir().mkpath(folder)) {
    failCurrent(DownloaderError::downloadFailed(QStringLiteral("Could not create the folder %1").arg(folder)));
    return;
  }
  job.folder = folder;

  job.process = new QProcess(this);
  // Its own process group, so that cancelling also stops the ffmpeg it runs for extraction.
  job.process->setChildProcessModifier([] { ::setpgid(0, 0); });
  job.process->setProgram(*m_ytdlpPath);
  job.process->setArguments({QStringLiteral("-x"), QStringLiteral("--audio-format"), QStringLiteral("m4a"),
                             QStringLiteral("--audio-quality"), QStringLiteral("0"), QStringLiteral("-o"),
                             folder + QLatin1Char('/') + kOutputTemplate, QStringLiteral("--newline"),
                             QStringLiteral("--progress"), QStringLiteral("--"), job.address});
  // Both streams are always drained: a tool that fills a pipe nobody reads would block forever.
  connect(job.process, &QProcess::readyReadStandardOutput, this, [this] {
    if (m_current) readStream(*m_current, false);
  });
  connect(job.process, &QProcess::readyReadStandardError, this, [this] {
    if (m_current) readStream(*m_current, true);
  });
  connect(job.process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
    if (m_current) processFinished(*m_current, exitCode, status == QProcess::CrashExit);
  });
  connect(job.process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart && m_current) {
      failCurrent(DownloaderError::downloadFailed(m_current->process->errorString()));
    }
  });
  job.process->start();
}

void YouTubeDownloader::readStream(Job& job, bool errorStream) {
  const QByteArray bytes = errorStream ? job.process->readAllStandardError() : job.process->readAllStandardOutput();
  if (errorStream) {
    job.errorOutput += bytes;
  }
  // Progress is read by whole lines, so a line split across two reads still counts.
  QByteArray& pending = job.partialLine[errorStream ? 1 : 0];
  pending += bytes;
  const qsizetype lastNewline = pending.lastIndexOf('\n');
  if (lastNewline < 0) {
    return;
  }
  const QByteArray complete = pending.left(lastNewline + 1);
  pending.remove(0, lastNewline + 1);
  reportProgress(job, complete);
}

bool YouTubeDownloader::reportProgress(Job& job, const QByteArray& lines) {
  if (!job.handler) {
    return true;
  }
  // The handler may cancel this download, which ends the job and the handler stored in it; the
  // copy keeps what the handler captured alive until its call returns.
  const ProgressHandler handler = job.handler;
  const quint64 serial = job.serial;
  for (const QByteArray& line : lines.split('\n')) {
    const std::optional<QString> text = decodeUtf8(line);
    if (!text) {
      continue;
    }
    for (const ProgressReport& report : parseProgress(*text)) {
      handler(report.fraction, report.status);
      if (!isCurrent(serial)) {
        return false;
      }
    }
  }
  return true;
}

bool YouTubeDownloader::isCurrent(quint64 serial) const {
  return m_current && m_current->serial == serial;
}

void YouTubeDownloader::processFinished(Job& job, int exitCode, bool crashed) {
  const quint64 serial = job.serial;
  readStream(job, false);
  if (!isCurrent(serial)) return;
  readStream(job, true);
  if (!isCurrent(serial)) return;
  // The last line of each stream may lack its line feed.
  for (QByteArray& rest : job.partialLine) {
    const QByteArray line = std::exchange(rest, QByteArray());
    if (!line.isEmpty() && !reportProgress(job, line)) {
      return;
    }
  }

  if (crashed || exitCode != 0) {
    const QString text = decodeUtf8(job.errorOutput).value_or(QStringLiteral("Unknown error"));
    failCurrent(DownloaderError::downloadFailed(text));
    return;
  }

  const QDir folder(job.folder);
  if (!folder.exists()) {
    failCurrent(DownloaderError::downloadFailed(QStringLiteral("The folder %1 is gone").arg(job.folder)));
    return;
  }
  const QStringList entries = folder.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
  for (const QString& entry : entries) {
    const QFileInfo info(folder.filePath(entry));
    if (acceptedAudioExtensions().contains(info.suffix().toLower())) {
      succeedCurrent(DownloadedAudio{QUrl::fromLocalFile(info.absoluteFilePath()), info.completeBaseName()});
      return;
    }
  }
  failCurrent(DownloaderError::noAudioStream());
}

void YouTubeDownloader::failCurrent(const DownloaderError& error) {
  if (!m_current) return;
  removeFolder(m_current->folder);
  m_current->promise.setException(std::make_exception_ptr(error));
  endCurrent();
}

void YouTubeDownloader::succeedCurrent(const DownloadedAudio& audio) {
  if (!m_current) return;
  m_current->promise.addResult(audio);
  endCurrent();  // the folder stays until cleanupTempFile()
}

void YouTubeDownloader::endCurrent() {
  std::unique_ptr<Job> job = std::move(m_current);
  if (job->process) {
    job->process->disconnect(this);
    job->process->deleteLater();
    job->process = nullptr;
  }
  job->promise.finish();
  job.reset();
  startNext();
}

void YouTubeDownloader::cancel() {
  std::deque<std::unique_ptr<Job>> jobs = std::move(m_waiting);
  m_waiting.clear();
  if (m_current) {
    std::unique_ptr<Job> job = std::move(m_current);
    if (job->process) {
      job->process->disconnect(this);
      if (job->process->state() != QProcess::NotRunning) {
        if (const qint64 pid = job->process->processId(); pid > 0) {
          ::kill(-static_cast<pid_t>(pid), SIGKILL);
        }
        job->process->kill();
        job->process->waitForFinished(kKillWaitMilliseconds);
      }
      job->process->deleteLater();
      job->process = nullptr;
    }
    removeFolder(job->folder);
    jobs.push_front(std::move(job));
  }
  for (auto& job : jobs) {
    job->promise.future().cancel();
    job->promise.finish();
  }
}

void YouTubeDownloader::cleanupTempFile(const QUrl& audioURL) {
  const QFileInfo info(audioURL.toLocalFile());
  QFile::remove(info.absoluteFilePath());
  const QDir parent = info.absoluteDir();
  if (parent.dirName().startsWith(kFolderPrefix)) {
    QDir(parent.absolutePath()).removeRecursively();
  }
}

QList<YouTubeDownloader::ProgressReport> YouTubeDownloader::parseProgress(const QString& output) {
  static const QRegularExpression percentage(QStringLiteral("\\d+\\.?\\d*%"));
  QList<ProgressReport> reports;
  const QStringList lines = output.split(QLatin1Char('\n'));
  for (const QString& line : lines) {
    if (line.contains(QLatin1String("[download]")) && line.contains(QLatin1Char('%'))) {
      const QRegularExpressionMatch match = percentage.match(line);
      if (match.hasMatch()) {
        bool ok = false;
        const double value = match.captured(0).chopped(1).toDouble(&ok);
        if (ok) {
          reports.append({value / 100.0, QStringLiteral("Downloading audio...")});
        }
      }
    } else if (line.contains(QLatin1String("[ExtractAudio]"))) {
      reports.append({0.95, QStringLiteral("Extracting audio...")});
    } else if (line.contains(QLatin1String("[Merger]")) || line.contains(QLatin1String("Merging"))) {
      reports.append({0.98, QStringLiteral("Merging audio...")});
    }
  }
  return reports;
}

}  // namespace parlowvista
