#pragma once

#include <QFuture>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>

namespace parlowvista {

class ProcessRunner;

// Why a download produced no audio. `what()` is the user-facing description.
class DownloaderError : public std::runtime_error {
 public:
  enum class Kind { downloadFailed, ytdlpNotFound, invalidURL, noAudioStream };

  static DownloaderError downloadFailed(const QString& message);
  static DownloaderError ytdlpNotFound();
  static DownloaderError invalidURL();
  static DownloaderError noAudioStream();

  Kind kind() const { return m_kind; }
  // The tool's own text for downloadFailed (the whole of its error output), else empty.
  QString message() const { return m_message; }

 private:
  DownloaderError(Kind kind, const QString& description, const QString& message)
      : std::runtime_error(description.toStdString()), m_kind(kind), m_message(message) {}
  Kind m_kind;
  QString m_message;
};

struct DownloadedAudio {
  QUrl audioURL;  // inside a "yt-download-" temporary folder; hand it to cleanupTempFile()
  QString title;  // the file name without its extension, i.e. the video's title
};

// Fetches the audio track of an online video with the external tool yt-dlp, in a fresh temporary
// folder held from its making until it is removed (see removeLeftovers), and reports the tool's
// progress. Lives on the main thread; the child process runs
// without blocking it. Downloads run one at a time in the order they were asked for.
class YouTubeDownloader : public QObject {
  Q_OBJECT

 public:
  // Called on the downloader's thread with a fraction (0 to 1) and a status text.
  using ProgressHandler = std::function<void(double fraction, const QString& status)>;

  struct ProgressReport {
    double fraction = 0;
    QString status;
    bool operator==(const ProgressReport&) const = default;
  };

  // Looks for the tool once, now (see findYtDlpSync()); a tool installed later is found only by
  // a new downloader. Logs the tool's path and, a moment later, its version.
  explicit YouTubeDownloader(QObject* parent = nullptr);
  // Uses the given tool path (nothing: no tool) instead of searching.
  YouTubeDownloader(std::optional<QString> ytdlpPath, QObject* parent = nullptr);
  // Kills a running tool and removes its temporary folder.
  ~YouTubeDownloader() override;

  bool isAvailable() const { return m_ytdlpPath.has_value(); }
  std::optional<QString> ytdlpPath() const { return m_ytdlpPath; }

  // Downloads the audio of `address` (only http and https addresses are accepted). The future
  // ends with the file and title, fails with DownloaderError, or is cancelled by cancel().
  // Continuations should use this object (or another main-thread object) as their context.
  QFuture<DownloadedAudio> downloadAudio(const QString& address, ProgressHandler progressHandler = {});

  // Kills the running tool, removes its folder and cancels that download and all waiting ones.
  void cancel();
  // A tool that writes nothing at all for this long is taken for hung: it is killed and the
  // download fails with "Download failed: yt-dlp stopped responding ...". yt-dlp prints a
  // progress line at least every second while it downloads. Default 10 minutes.
  void setSilenceLimit(int milliseconds);

  // Removes the downloaded file and, when it sits in a "yt-download-" folder, that folder with
  // it (links in it removed, never followed). Any thread; never fails.
  static void cleanupTempFile(const QUrl& audioURL);
  // Removes from `folder` the download folders of copies that no longer run (killed, or the
  // machine's power lost, while they downloaded): only folders of the names this class gives,
  // of the running user, with all in them, and none a copy holds, wherever it runs (see
  // HeldFiles: each is held from its making until it is removed). A link in them is removed, and
  // never followed, even one swapped in for a folder while they go: another user who shares the
  // folder (the default /tmp) cannot make a start remove anything of the user's elsewhere.
  // Returns how many went. A stop asked for through `stop` ends it between two entries (inside a
  // folder too: what is left of that folder goes at a later start). Any thread.
  static int removeLeftovers(const QString& folder, std::stop_token stop = {});

  // The reports one chunk of tool output gives, one per recognised line, in line order.
  static QList<ProgressReport> parseProgress(const QString& output);

  static QStringList defaultToolLocations();
  // yt-dlp found on the user's PATH first, else the first executable among `locations`, else
  // nothing: a current tool the user installed (with pipx into ~/.local/bin, say) wins over the
  // system's older package, which video sites break within months.
  static std::optional<QString> findYtDlpSync(const QStringList& locations = defaultToolLocations());

  static const QStringList& acceptedAudioExtensions();

 private:
  struct Job;

  void startNext();
  // Hands the progress of one line of tool output to the current job's handler.
  void reportProgress(const QByteArray& line);
  bool isCurrent(quint64 serial) const;
  // After a clean exit: the audio file the tool wrote into the job's folder.
  void collectAudio(Job& job);
  void failCurrent(const DownloaderError& error);
  void succeedCurrent(const DownloadedAudio& audio);
  void endCurrent();

  std::optional<QString> m_ytdlpPath;
  ProcessRunner* m_runner = nullptr;
  ProcessRunner* m_versionRunner = nullptr;
  std::unique_ptr<Job> m_current;
  QTimer* m_silence = nullptr;  // restarted by every line the current tool writes
  std::deque<std::unique_ptr<Job>> m_waiting;
  quint64 m_lastSerial = 0;
};

}  // namespace parlowvista
