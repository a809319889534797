#include "ViewModels/EnhancementPreview.h"

#include "Services/AudioEnhancer.h"
#include "Services/AudioPlayerService.h"
#include "ViewModels/LogFormat.h"

#include <QPointer>

#include <utility>

namespace parlowvista {

EnhancementPreview::EnhancementPreview(std::shared_ptr<AudioEnhancer> enhancer, std::function<void(const QString&)> log,
                                       QObject* parent)
    : QObject(parent), m_enhancer(std::move(enhancer)), m_log(std::move(log)) {
  m_stopTimer.setSingleShot(true);
  connect(&m_stopTimer, &QTimer::timeout, this, [this] { stopPlayback(); });
}

EnhancementPreview::~EnhancementPreview() {
  m_stopTimer.stop();
  if (m_player) m_player->unload();
  removeExcerpts();
}

void EnhancementPreview::removeExcerpts() const {
  if (!m_originalURL.isEmpty()) AudioEnhancer::cleanupTempFile(m_originalURL.toLocalFile());
  if (!m_enhancedURL.isEmpty()) AudioEnhancer::cleanupTempFile(m_enhancedURL.toLocalFile());
}

void EnhancementPreview::generate(const QUrl& source, const AudioEnhancementSettings& settings) {
  if (m_generating) return;
  setGenerating(true);
  stopPlayback();
  cleanup();
  m_source = source;
  const quint64 run = ++m_run;
  m_log("Generating enhancement preview...");
  const QString input = source.toLocalFile();
  QPointer<EnhancementPreview> self(this);
  const auto failed = [this](const QString& error) {
    // One line, as the enhancement's own failure is shown: the tool's errors can be several.
    m_log("Preview generation failed: " + condensedToolError(error));
    setGenerating(false);
  };
  // An excerpt that comes after its preview was dropped (another file, other settings) goes.
  const auto outdated = [self, run](const AudioEnhancer::Outcome& excerpt) {
    if (self && self->m_run == run) return false;
    if (excerpt.outputPath) AudioEnhancer::cleanupTempFile(*excerpt.outputPath);
    return true;
  };
  m_enhancer->generateOriginalPreview(
      input, [self, input, settings, failed, outdated](const AudioEnhancer::Outcome& original) {
        if (outdated(original)) return;
        if (!original.outputPath) return failed(original.error);
        self->setURLs(QUrl::fromLocalFile(*original.outputPath), QUrl());
        self->m_enhancer->generatePreview(
            input, settings,
            [self, failed, outdated, originalSaid = original.toolErrors](const AudioEnhancer::Outcome& enhanced) {
              if (outdated(enhanced)) return;
              if (!enhanced.outputPath) return failed(enhanced.error);
              self->setURLs(self->m_originalURL, QUrl::fromLocalFile(*enhanced.outputPath));
              // A read error or damage ffmpeg took for the end of the file still ends its run well,
              // with the excerpts cut short there: what it said is told (once: both read the file).
              const QString said = originalSaid.isEmpty() ? enhanced.toolErrors : originalSaid;
              if (!said.isEmpty()) self->m_log("ffmpeg reported while making the preview: " + condensedToolError(said));
              self->m_log("Preview ready - compare Original vs Enhanced");
              self->setGenerating(false);
            });
      });
}

void EnhancementPreview::stopPlayback() {
  m_stopTimer.stop();
  if (m_player) m_player->unload();
  setPlaying(false, false);
}

void EnhancementPreview::cleanup() {
  removeExcerpts();
  setURLs(QUrl(), QUrl());
}

void EnhancementPreview::play(bool original) {
  const QUrl url = original ? m_originalURL : m_enhancedURL;
  if (url.isEmpty()) return;
  stopPlayback();
  if (!m_player) m_player = new AudioPlayerService(this);
  // Shown as playing at once; the excerpt starts once the player has it.
  setPlaying(original, !original);
  // One stop timer for all playbacks: a new playback restarts it, a stop cancels it.
  m_stopTimer.start(m_autoStopMs);
  m_player->load(url, [this, original](const QString& error) {
    if (!error.isEmpty()) {
      m_log(QString("Failed to play %1 preview: ").arg(original ? "original" : "enhanced") + error);
      stopPlayback();
      return;
    }
    m_player->play();
  });
}

void EnhancementPreview::drop() {
  ++m_run;
  m_source = QUrl();
  stopPlayback();
  cleanup();
  if (m_generating) setGenerating(false);
}

// Announced even when it stays the same, as the view model's published fields are.
void EnhancementPreview::setGenerating(bool value) {
  m_generating = value;
  emit generatingChanged();
}

void EnhancementPreview::setURLs(const QUrl& original, const QUrl& enhanced) {
  if (m_originalURL != original) {
    m_originalURL = original;
    emit originalURLChanged();
  }
  if (m_enhancedURL != enhanced) {
    m_enhancedURL = enhanced;
    emit enhancedURLChanged();
  }
}

void EnhancementPreview::setPlaying(bool original, bool enhanced) {
  if (m_playingOriginal != original) {
    m_playingOriginal = original;
    emit playingOriginalChanged();
  }
  if (m_playingEnhanced != enhanced) {
    m_playingEnhanced = enhanced;
    emit playingEnhancedChanged();
  }
}

}  // namespace parlowvista
