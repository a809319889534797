// The open source's file, the online-video road and the enhancement preview.

#include "Models/AudioSource.h"
#include "Services/AudioPlayerService.h"
#include "Services/FileAccessManager.h"
#include "Services/YouTubeDownloader.h"
#include "ViewModels/BackgroundJob.h"
#include "ViewModels/DownloadNaming.h"
#include "ViewModels/LogFormat.h"
#include "ViewModels/TranscriptionViewModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>

namespace parlowvista {

// ---- the open source's file ----------------------------------------------------------

void TranscriptionViewModel::openSourceFile(AudioSource* source) {
  const QUrl url = m_deps.fileAccess->resolveURL(source);
  if (url.isEmpty()) {
    addLog("Audio file not found: " + source->filename());
    // Nothing of the file open before may stay: its audio would play, seek, follow and export
    // under this transcript.
    setCurrentFile(QUrl());
    setMediaSource(std::nullopt);
    m_audioPlayer->unload();
    m_deps.fileAccess->setPendingRelocate(source);
    m_deps.fileAccess->setShowRelocateDialog(true);
    return;
  }
  setCurrentFile(url);
  loadAudioForPlayback(source->isYouTubeSource());
  if (source->isYouTubeSource() && source->youtubeVideoId()) {
    setMediaSource(MediaSource{
        MediaSource::SourceType::youtubeVideo(*source->youtubeVideoId(), source->youtubeOriginalURL().value_or("")),
        url, source->filename()});
    addLog("Restored YouTube media source: " + *source->youtubeVideoId());
  } else {
    setMediaSource(MediaSource{MediaSource::SourceType::localFile(), url, source->filename()});
    addLog("Restored local file media source");
  }
}

void TranscriptionViewModel::reopenRelocatedFile(AudioSource* source) {
  // A run's own file is in the player when it ends; the open version's is taken again now.
  if (m_busy || !source || source != m_currentAudioSource || !m_currentTranscription) return;
  openSourceFile(source);
}

// ---- online-video road ------------------------------------------------------------

void TranscriptionViewModel::processYouTubeURL(const QString& address) {
  if (!isReady() || m_busy) {
    addLog("Cannot process URL - system busy or not ready");
    return;
  }
  if (!m_deps.youtubeDownloader->isAvailable()) {
    setState(
        ProcessingState::failed(ErrorInfo{"yt-dlp not installed", QString("Install via: sudo apt install yt-dlp")}));
    addLog("yt-dlp not found");
    return;
  }
  if (!modelsLoaded()) {
    addLog("Models not initialized");
    return;
  }
  commitOpenEdit();
  saveIfNeeded();
  beginRun();
  const quint64 generation = m_generation;
  addLog("Processing YouTube URL: " + address);
  setState(ProcessingState::processing(ProcessingStage::downloadingFromURL));
  m_download.setProgress(0);
  m_download.setStatus("Starting download...");

  QPointer<TranscriptionViewModel> self(this);
  auto alive = m_alive;
  auto future = m_deps.youtubeDownloader->downloadAudio(
      address, [self, alive, generation](double fraction, const QString& status) {
        postToUi(alive, [self, generation, fraction, status] {
          if (!self || self->m_generation != generation || !self->m_busy) return;
          self->m_download.setProgress(fraction);
          self->m_download.setStatus(status);
        });
      });
  auto* watcher = new QFutureWatcher<DownloadedAudio>(this);
  connect(watcher, &QFutureWatcher<DownloadedAudio>::finished, this, [this, watcher, generation, address] {
    watcher->deleteLater();
    if (generation != m_generation) return;
    // The screen says what failed in plain words; the one line of the tool's output that says
    // why goes beside it, not its whole output twice.
    const auto failDownload = [this](const QString& shown, const std::optional<QString>& details = std::nullopt) {
      setState(ProcessingState::failed(ErrorInfo{shown, details}));
      addLog("YouTube download failed: " + details.value_or(shown));
      m_download.setProgress(0);
      m_download.setStatus("");
      endRun();
    };
    DownloadedAudio download;
    try {
      // A future that holds an error also counts as cancelled: the error is asked for first.
      watcher->future().waitForFinished();
      if (watcher->future().isCanceled() || watcher->future().resultCount() == 0) {
        return failDownload("Download cancelled");
      }
      download = watcher->future().result();
    } catch (const DownloaderError& error) {
      if (error.kind() != DownloaderError::Kind::downloadFailed) return failDownload(QString::fromUtf8(error.what()));
      const QString host = QUrl(address).host();
      return failDownload(host.isEmpty() ? QStringLiteral("The audio could not be downloaded from this address")
                                         : QStringLiteral("The audio could not be downloaded from %1").arg(host),
                          lastToolErrorLine(error.message()));
    } catch (const std::exception& error) {
      return failDownload(condensedToolError(QString::fromUtf8(error.what())));
    }
    addLog("Downloaded: " + download.title);
    m_download.setProgress(1.0);
    m_download.setStatus("Download complete");

    const QString folder = m_deps.downloadsFolder;
    const QString temp = download.audioURL.toLocalFile();
    runJob<QString>(
        m_jobs, this,
        [folder, temp, title = download.title] {
          if (!QDir().mkpath(folder)) throw std::runtime_error("Cannot create folder " + folder.toStdString());
          const QString target =
              downloadnaming::uniqueDownloadPath(folder, downloadnaming::safeTitle(title), QFileInfo(temp).suffix());
          QFile download(temp);
          if (!download.copy(target)) {
            throw std::runtime_error(
                QStringLiteral("Cannot copy the download to %1: %2").arg(target, download.errorString()).toStdString());
          }
          return target;
        },
        [this, generation, failDownload, download, address](JobResult<QString> copied) {
          if (generation != m_generation) return;
          if (!copied.value) {
            // Nothing else would ever remove the temporary download.
            YouTubeDownloader::cleanupTempFile(download.audioURL);
            return failDownload(copied.error);
          }
          addLog("Copied to permanent storage: " + QFileInfo(*copied.value).fileName());
          YouTubeDownloader::cleanupTempFile(download.audioURL);
          const QUrl copy = QUrl::fromLocalFile(*copied.value);
          setCurrentFile(copy);
          const auto videoId = MediaSource::extractYouTubeVideoId(address);
          if (videoId) {
            addLog("Extracted YouTube video ID: " + *videoId + " from URL: " + address);
          } else {
            addLog("WARNING: Could not extract video ID from URL: " + address);
          }
          setMediaSource(
              MediaSource{MediaSource::SourceType::youtubeVideo(videoId.value_or(""), address), copy, download.title});
          addLog("Media source set: YouTube video ID = " + videoId.value_or("none") +
                 ", isYouTube = " + (m_mediaSource->isYouTubeVideo() ? "true" : "false"));
          startFileRoad(copy, videoId, address);
        });
  });
  watcher->setFuture(future);
}

// ---- enhancement preview --------------------------------------------------------------

void TranscriptionViewModel::generateEnhancementPreview() {
  if (m_preview->isGenerating()) return;
  QUrl source = m_currentFile;
  if (source.isEmpty() && m_currentAudioSource) source = m_deps.fileAccess->resolveURL(m_currentAudioSource);
  if (source.isEmpty()) {
    addLog("No audio file selected for preview");
    return;
  }
  if (!m_isEnhancerAvailable) {
    addLog("FFmpeg not available for preview");
    return;
  }
  m_preview->generate(source, m_audioEnhancement);
}

void TranscriptionViewModel::setCurrentFile(const QUrl& url) {
  if (url != m_preview->source() && m_preview->isMadeOrBeingMade()) m_preview->drop();
  publish(m_currentFile, url, &TranscriptionViewModel::currentFileChanged);
}

void TranscriptionViewModel::setAudioEnhancement(const AudioEnhancementSettings& settings) {
  if (settings != m_audioEnhancement && m_preview->isMadeOrBeingMade()) m_preview->drop();
  publish(m_audioEnhancement, settings, &TranscriptionViewModel::audioEnhancementChanged);
}

void TranscriptionViewModel::stopPreviewPlayback() {
  m_preview->stopPlayback();
}

void TranscriptionViewModel::cleanupPreviews() {
  m_preview->cleanup();
}

void TranscriptionViewModel::playPreviewOriginal() {
  m_preview->play(true);
}

void TranscriptionViewModel::playPreviewEnhanced() {
  m_preview->play(false);
}

}  // namespace parlowvista
