#include "Services/YouTubeDownloader.h"

#include "Models/UuidText.h"
#include "Services/HeldFiles.h"
#include "Services/ProcessRunner.h"
#include "Services/TemporaryFolder.h"
#include "Services/ToolLocator.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QPromise>
#include <QRegularExpression>
#include <QUuid>

#include <utility>

namespace parlowvista {

namespace {

const QString kFolderPrefix = QStringLiteral("yt-download-");
const QString kOutputTemplate = QStringLiteral("%(title)s.%(ext)s");
const QString kToolName = QStringLiteral("yt-dlp");

// Only web addresses reach the tool: anything else (text starting with "-" above all) could be
// read as one of its options or as a local path.
bool isAcceptedAddress(const QString& address) {
  const QUrl url(address, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
         !url.host().isEmpty();
}

// The name of a download's folder: the prefix, then a UUID in its canonical text (uuidText).
QString newFolderName() {
  return kFolderPrefix + uuidText(QUuid::createUuid());
}
bool isFolderName(const QString& name) {
  const QString id = name.mid(kFolderPrefix.size());
  return name.startsWith(kFolderPrefix) && uuidText(uuidFromText(id)) == id;
}

// Removed while still held, then let go; what yt-dlp left in it goes with it, links never
// followed.
void removeFolder(const QString& path) {
  if (!path.isEmpty()) HeldFiles::removeFolder(path);
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
  return DownloaderError(
      Kind::ytdlpNotFound,
      QStringLiteral("yt-dlp not found. Install via: pipx install yt-dlp (current) or sudo apt install yt-dlp"),
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
  QString folder;
};

YouTubeDownloader::YouTubeDownloader(QObject* parent) : YouTubeDownloader(findYtDlpSync(), parent) {
  if (m_ytdlpPath) {
    m_versionRunner = new ProcessRunner(this);
    ToolLocator::logVersion(*m_versionRunner, kToolName, *m_ytdlpPath);
  } else {
    qInfo().noquote()
        << QStringLiteral("yt-dlp: not found on PATH nor in %1").arg(defaultToolLocations().join(QStringLiteral(", ")));
  }
}

YouTubeDownloader::YouTubeDownloader(std::optional<QString> ytdlpPath, QObject* parent)
    : QObject(parent),
      m_ytdlpPath(std::move(ytdlpPath)),
      m_runner(new ProcessRunner(this)),
      m_silence(new QTimer(this)) {
  m_silence->setSingleShot(true);
  m_silence->setInterval(10 * 60 * 1000);
  connect(m_silence, &QTimer::timeout, this, [this] {
    if (!m_current) return;
    const int minutes = m_silence->interval() / 60000;
    const QString quiet = minutes >= 1 ? QStringLiteral("%1 minutes").arg(minutes)
                                       : QStringLiteral("%1 seconds").arg(m_silence->interval() / 1000.0);
    m_runner->cancel();  // its completion sees `cancelled` and leaves the job to us
    failCurrent(
        DownloaderError::downloadFailed(QStringLiteral("yt-dlp stopped responding (no output for %1)").arg(quiet)));
  });
}

void YouTubeDownloader::setSilenceLimit(int milliseconds) {
  m_silence->setInterval(milliseconds);
}

YouTubeDownloader::~YouTubeDownloader() {
  cancel();
}

QStringList YouTubeDownloader::defaultToolLocations() {
  return {QStringLiteral("/usr/local/bin/yt-dlp"), QStringLiteral("/usr/bin/yt-dlp")};
}

std::optional<QString> YouTubeDownloader::findYtDlpSync(const QStringList& locations) {
  return ToolLocator::findPreferringPath({kToolName}, locations);
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

  const QString folder = QDir(temporaryFolder()).filePath(newFolderName());
  if (const QString failure = HeldFiles::createFolder(folder); !failure.isEmpty()) {
    failCurrent(DownloaderError::downloadFailed(QStringLiteral("Could not create the folder ") + failure));
    return;
  }
  job.folder = folder;

  ProcessRequest request;
  request.program = *m_ytdlpPath;
  request.arguments = {QStringLiteral("-x"),
                       QStringLiteral("--audio-format"),
                       QStringLiteral("m4a"),
                       QStringLiteral("--audio-quality"),
                       QStringLiteral("0"),
                       QStringLiteral("-o"),
                       folder + QLatin1Char('/') + kOutputTemplate,
                       QStringLiteral("--newline"),
                       QStringLiteral("--progress"),
                       QStringLiteral("--"),
                       job.address};
  // Progress lines come on either stream; any line shows the tool is alive.
  request.standardOutputLine = [this](const QByteArray& line) {
    m_silence->start();
    reportProgress(line);
  };
  request.standardErrorLine = request.standardOutputLine;
  // Its partial and finished files sit in the shared temporary folder: the user's alone, as the
  // folder is.
  request.privateFiles = true;
  m_silence->start();
  const quint64 serial = job.serial;
  m_runner->start(std::move(request), [this, serial](const ProcessOutcome& outcome) {
    if (!isCurrent(serial)) return;
    switch (outcome.kind) {
      case ProcessOutcome::Kind::failedToStart: return failCurrent(DownloaderError::downloadFailed(outcome.startError));
      case ProcessOutcome::Kind::exited:
        if (outcome.exitCode != 0) {
          // The tool's error output as it wrote it (its last lines: see ProcessOutcome).
          const QString text = decodeToolOutput(outcome.standardError).value_or(QStringLiteral("Unknown error"));
          return failCurrent(DownloaderError::downloadFailed(text));
        }
        return collectAudio(*m_current);
      case ProcessOutcome::Kind::timedOut:  // downloads have no deadline
      case ProcessOutcome::Kind::cancelled: return;
    }
  });
}

void YouTubeDownloader::reportProgress(const QByteArray& line) {
  if (!m_current || !m_current->handler) {
    return;
  }
  // The handler may cancel this download, which ends the job and the handler stored in it; the
  // copy keeps what the handler captured alive until its call returns.
  const ProgressHandler handler = m_current->handler;
  const quint64 serial = m_current->serial;
  const std::optional<QString> text = decodeToolOutput(line);
  if (!text) {
    return;
  }
  for (const ProgressReport& report : parseProgress(*text)) {
    handler(report.fraction, report.status);
    if (!isCurrent(serial)) {
      return;
    }
  }
}

bool YouTubeDownloader::isCurrent(quint64 serial) const {
  return m_current && m_current->serial == serial;
}

void YouTubeDownloader::collectAudio(Job& job) {
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
  m_silence->stop();
  std::unique_ptr<Job> job = std::move(m_current);
  job->promise.finish();
  job.reset();
  startNext();
}

void YouTubeDownloader::cancel() {
  std::deque<std::unique_ptr<Job>> jobs = std::move(m_waiting);
  m_waiting.clear();
  if (m_current) {
    m_silence->stop();
    std::unique_ptr<Job> job = std::move(m_current);
    // Kills the tool's whole process group (its ffmpeg too); its completion sees no current job.
    m_runner->cancel();
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
  const QDir parent = info.absoluteDir();
  // The file goes with its folder.
  if (parent.dirName().startsWith(kFolderPrefix)) return removeFolder(parent.absolutePath());
  QFile::remove(info.absoluteFilePath());
}

int YouTubeDownloader::removeLeftovers(const QString& folder, std::stop_token stop) {
  int removed = 0;
  const QDir dir(folder);
  // One entry at a time, unsorted: a shared folder may hold any number of look-alikes.
  QDirIterator entries(folder, {kFolderPrefix + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden);
  while (!stop.stop_requested() && entries.hasNext()) {
    const QString name = entries.nextFileInfo().fileName();
    if (isFolderName(name) && HeldFiles::removeFolderUnlessHeld(dir.filePath(name), stop)) ++removed;
  }
  return removed;
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
