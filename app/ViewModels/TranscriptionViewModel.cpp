#include "ViewModels/TranscriptionViewModel.h"

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/StoredSpeaker.h"
#include "Models/Transcription.h"
#include "Services/AudioCacheService.h"
#include "Services/AudioEnhancer.h"
#include "Services/AudioPlayerService.h"
#include "Services/AudioProcessor.h"
#include "Services/FileAccessManager.h"
#include "Services/SpeechEngine.h"
#include "Services/TemporaryFolder.h"
#include "Services/Translation/TranslationService.h"
#include "Services/YouTubeDownloader.h"
#include "Store/ModelContext.h"
#include "ViewModels/FileDialogs.h"
#include "ViewModels/ProcessingStatus.h"
#include "ViewModels/SpeakerList.h"

#include <QDir>
#include <QScopedValueRollback>
#include <QStandardPaths>

#include <algorithm>
#include <utility>

#include <malloc.h>

namespace parlowvista {

TranscriptionViewModel::TranscriptionViewModel(Dependencies dependencies, QObject* parent)
    : QObject(parent), m_deps(std::move(dependencies)) {
  if (!m_deps.engine) m_deps.engine = std::make_shared<VoxtrellisSpeechEngine>();
  if (!m_deps.audioProcessor) m_deps.audioProcessor = std::make_shared<AudioProcessor>();
  if (!m_deps.settings || !m_deps.fileAccess) {
    throw std::invalid_argument("TranscriptionViewModel needs the application's settings and file access");
  }
  if (!m_deps.sampleCache) {
    m_deps.sampleCache = std::make_shared<AudioCacheService>(AudioCacheService::defaultCacheDirectory());
  }
  if (!m_deps.dialogs) m_deps.dialogs = std::make_shared<QtFileDialogs>();
  if (!m_deps.youtubeDownloader) m_deps.youtubeDownloader = new YouTubeDownloader(this);
  if (m_deps.temporaryFolder.isEmpty()) m_deps.temporaryFolder = temporaryFolder();
  if (m_deps.downloadsFolder.isEmpty()) {
    m_deps.downloadsFolder =
        QDir(AppSettings::defaultApplicationSupportRoot()).filePath("Parlowvista/YouTubeDownloads");
  }
  if (!m_deps.audioEnhancer) {
    m_deps.audioEnhancer = std::make_shared<AudioEnhancer>(AudioEnhancer::findFFmpeg(), m_deps.temporaryFolder);
  }
  m_preview = std::make_unique<EnhancementPreview>(m_deps.audioEnhancer, [this](const QString& line) { addLog(line); });
  connect(m_preview.get(), &EnhancementPreview::generatingChanged, this,
          &TranscriptionViewModel::isGeneratingPreviewChanged);
  connect(m_preview.get(), &EnhancementPreview::originalURLChanged, this,
          &TranscriptionViewModel::previewOriginalURLChanged);
  connect(m_preview.get(), &EnhancementPreview::enhancedURLChanged, this,
          &TranscriptionViewModel::previewEnhancedURLChanged);
  connect(m_preview.get(), &EnhancementPreview::playingOriginalChanged, this,
          &TranscriptionViewModel::previewPlayingOriginalChanged);
  connect(m_preview.get(), &EnhancementPreview::playingEnhancedChanged, this,
          &TranscriptionViewModel::previewPlayingEnhancedChanged);
  connect(&m_download, &OnlineVideoDownload::downloaderAvailableChanged, this,
          &TranscriptionViewModel::isYouTubeDownloaderAvailableChanged);
  connect(&m_download, &OnlineVideoDownload::progressChanged, this, &TranscriptionViewModel::downloadProgressChanged);
  connect(&m_download, &OnlineVideoDownload::statusChanged, this, &TranscriptionViewModel::downloadStatusChanged);
  connect(&m_translation, &TranslationHandOff::translatingChanged, this, &TranscriptionViewModel::isTranslatingChanged);
  connect(&m_translation, &TranslationHandOff::progressChanged, this,
          &TranscriptionViewModel::translationProgressChanged);
  connect(&m_translation, &TranslationHandOff::statusChanged, this, &TranscriptionViewModel::translationStatusChanged);

  m_audioPlayer = new AudioPlayerService(this);
  connect(m_audioPlayer, &AudioPlayerService::currentTimeChanged, this,
          [this](double time) { updateCurrentSegment(time); });
  connect(m_deps.fileAccess, &FileAccessManager::fileRelocated, this, &TranscriptionViewModel::reopenRelocatedFile);
  connect(&m_autoSaveTimer, &QTimer::timeout, this, [this] {
    if (m_hasUnsavedChanges) saveCurrentTranscription();
  });
  followSettingsDefaults();

  // The tool flags are published on the next turn of the event loop, as the window expects
  // them to arrive after it is shown.
  QMetaObject::invokeMethod(
      this,
      [this] {
        publishChange(m_isEnhancerAvailable, m_deps.audioEnhancer->isAvailable(),
                      &TranscriptionViewModel::isEnhancerAvailableChanged);
        m_download.setDownloaderAvailable(m_deps.youtubeDownloader->isAvailable());
      },
      Qt::QueuedConnection);
}

TranscriptionViewModel::~TranscriptionViewModel() {
  *m_alive = false;
  m_autoSaveTimer.stop();
  m_preview.reset();
}

// ---- published fields -------------------------------------------------------------

double TranscriptionViewModel::progress() const {
  return progressFor(m_state, m_stageProgress);
}

QString TranscriptionViewModel::statusMessage() const {
  QString text = statusMessageFor(m_state);
  if (!m_statusNote.isEmpty()) text += " - " + m_statusNote;
  if (showsUnsavedFile()) text += " - not saved yet: " + m_saveFailure + ". Saving is tried again automatically.";
  return text;
}

void TranscriptionViewModel::setOpenEditCommitter(const QObject* owner, std::function<void()> commit) {
  m_openEditOwner = owner;
  m_commitOpenEdit = std::move(commit);
}

void TranscriptionViewModel::clearOpenEditCommitter(const QObject* owner) {
  if (m_openEditOwner != owner) return;
  m_openEditOwner = nullptr;
  m_commitOpenEdit = {};
}

void TranscriptionViewModel::commitOpenEdit() {
  // The commit comes back here as an edit (updateSegmentText): never a second commit inside it.
  if (!m_commitOpenEdit || m_committingOpenEdit) return;
  const QScopedValueRollback committing(m_committingOpenEdit, true);
  const std::function<void()> commit = m_commitOpenEdit;
  commit();
}

void TranscriptionViewModel::setActiveTab(const ContentTab& tab) {
  // The editor belongs to the original's rows: what it holds is committed while they are shown.
  commitOpenEdit();
  m_activeTab = tab;
  m_shownTranslation.reset();
  emit activeTabChanged();
}

void TranscriptionViewModel::setMediaSource(const std::optional<MediaSource>& source) {
  publish(m_mediaSource, source, &TranscriptionViewModel::mediaSourceChanged);
}

void TranscriptionViewModel::setCurrentAudioSource(AudioSource* source) {
  publish(m_currentAudioSource, source, &TranscriptionViewModel::currentAudioSourceChanged);
}

void TranscriptionViewModel::setLastSaveTime(const QDateTime& at) {
  publish(m_lastSaveTime, at, &TranscriptionViewModel::lastSaveTimeChanged);
}

void TranscriptionViewModel::setSpeakers(QList<Speaker> speakers) {
  publish(m_speakers, std::move(speakers), &TranscriptionViewModel::speakersChanged);
}

void TranscriptionViewModel::setCachedSamples(std::shared_ptr<const std::vector<float>> samples,
                                              std::optional<double> duration, const QUuid& sourceId,
                                              std::shared_ptr<const voxtrellis::SoundPlaces> places) {
  // A long file's samples (0.7 GB for three hours) take a good part of a second to give back to
  // the system: the hold on them is let go on a worker thread. Whoever else holds them still may.
  if (m_cachedSamples && m_cachedSamples != samples) {
    m_jobs.start([old = std::exchange(m_cachedSamples, nullptr)]() mutable { old.reset(); });
  }
  m_cachedSamples = std::move(samples);
  m_cachedDuration = duration;
  m_cachedSamplesSourceId = sourceId;
  m_cachedPlaces = std::move(places);
  emit cachedSamplesChanged();
}

void TranscriptionViewModel::clearCachedSamples() {
  setCachedSamples(nullptr, std::nullopt, QUuid());
}

// ---- activity log ------------------------------------------------------------

void TranscriptionViewModel::addLog(const QString& message) {
  m_logs.append(LogEntry{QUuid::createUuid(), QDateTime::currentDateTime(), message});
  if (m_logs.size() > 100) m_logs.remove(0, m_logs.size() - 100);
  emit logsChanged();
}

// ---- runs --------------------------------------------------------------------

bool TranscriptionViewModel::isReady() const {
  const auto kind = m_state.kind();
  return kind == ProcessingState::Kind::modelsReady || kind == ProcessingState::Kind::completed ||
         kind == ProcessingState::Kind::failed;
}

bool TranscriptionViewModel::beginRun() {
  if (m_busy) return false;
  m_busy = true;
  ++m_generation;
  // What a run brings is an original; a translation tab left open would show over it.
  showOriginalTab();
  emit isBusyChanged();
  return true;
}

void TranscriptionViewModel::endRun() {
  if (!m_busy) return;
  m_busy = false;
  // What the run's steps freed stays with the allocator's per-thread pools, which hand little
  // of it back by themselves (a long file's diarization leaves about as much as its samples
  // there): it goes back to the system now, off this thread.
  m_jobs.start([] { malloc_trim(0); });
  emit isBusyChanged();
}

void TranscriptionViewModel::failRun(const QString& message, const QString& details) {
  setState(ProcessingState::failed(ErrorInfo{message, details}));
  addLog("Error: " + message);
  endRun();
}

bool TranscriptionViewModel::canRetranscribeSegment() const {
  return m_cachedSamples && m_recognizer && !m_retranscribingSegmentIndex && !m_busy;
}

// ---- derived views ---------------------------------------------------------------

const std::optional<TranscriptionResult>& TranscriptionViewModel::shownTranslation() const {
  // Read once per tab, so its rows keep their ids from call to call.
  if (m_activeTab.isTranslation() && !m_shownTranslation) {
    if (Transcription* translation = m_activeTab.transcription()) m_shownTranslation = translation->toResult();
  }
  return m_shownTranslation;
}

const TranscriptionResult* TranscriptionViewModel::shownResult() const {
  if (m_activeTab.isTranslation()) return shownTranslation() ? &*shownTranslation() : nullptr;
  return m_state.result();
}

std::optional<TranscriptionResult> TranscriptionViewModel::activeResult() const {
  if (const TranscriptionResult* result = shownResult()) return *result;
  return std::nullopt;
}

QList<Speaker> TranscriptionViewModel::activeSpeakers() const {
  if (m_activeTab.isOriginal()) return m_speakers;
  // A translation carries only the speakers its version had stored (named or coloured): the
  // others come back from its segments, as they do for the version itself.
  if (Transcription* translation = m_activeTab.transcription()) return speakersOf(*translation);
  return {};
}

QSet<QString> TranscriptionViewModel::existingTranslationLanguages() const {
  QSet<QString> languages;
  if (!m_currentTranscription) return languages;
  for (const Transcription* translation : m_currentTranscription->translations()) {
    if (translation->targetLanguage()) languages.insert(*translation->targetLanguage());
  }
  return languages;
}

// ---- playback --------------------------------------------------------------------

void TranscriptionViewModel::updateCurrentSegment(double time) {
  if (!m_state.result()) {
    setCurrentSegmentIndex(std::nullopt);
    return;
  }
  // The rows shown: a translation's own list, whose indices the workspace highlights.
  const auto& segments =
      m_activeTab.isTranslation() && shownTranslation() ? shownTranslation()->segments : m_state.result()->segments;
  for (qsizetype i = 0; i < segments.size(); ++i) {
    if (segments[i].startTime <= time && segments[i].endTime > time) {
      if (m_currentSegmentIndex != i) setCurrentSegmentIndex(i);
      return;
    }
  }
  if (!segments.isEmpty() && segments.last().endTime <= time) {
    setCurrentSegmentIndex(segments.size() - 1);
  } else {
    setCurrentSegmentIndex(std::nullopt);
  }
}

void TranscriptionViewModel::seekToSegment(qsizetype index) {
  // The segments shown: a translation tab's rows carry the translation's own times.
  const std::optional<TranscriptionResult> shown = activeResult();
  if (!m_state.result() || !shown || index < 0 || index >= shown->segments.size()) return;
  double t = shown->segments[index].startTime;
  // A file still loading has no duration yet: the player holds the position and clamps it.
  if (!m_audioPlayer->isLoading()) t = std::min(t, m_audioPlayer->duration());
  t = std::max(t, 0.0);
  m_audioPlayer->seek(t);
}

void TranscriptionViewModel::loadAudioForPlayback(bool muteForYouTube) {
  if (m_currentFile.isEmpty()) return;
  m_audioPlayer->setMuted(muteForYouTube);
  // The player loads off the UI thread and drops the outcome of a load that a later one (or a
  // stop) replaced, so only the file still wanted reports here. Its length is that of the
  // decoded samples, not what the file's header announces, and it seeks by where the loader
  // found their sound in the file: those just loaded, else those kept with the source's samples.
  AudioPlayerService::PlacesSource places;
  const QUuid sourceId = m_currentAudioSource ? m_currentAudioSource->id() : QUuid();
  if (m_cachedPlaces && m_cachedSamplesSourceId == sourceId) {
    places = [loaded = m_cachedPlaces] { return loaded; };
  } else if (!sourceId.isNull() && m_deps.sampleCache) {
    places = [cache = m_deps.sampleCache, sourceId] { return cache->loadCachedPlaces(sourceId); };
  }
  m_audioPlayer->load(
      m_currentFile,
      [this, muteForYouTube](const QString& error) {
        if (error.isEmpty()) {
          addLog(QString("Audio loaded for playback") + (muteForYouTube ? " (muted - YouTube source)" : ""));
        } else {
          addLog("Failed to load audio for playback: " + error);
        }
      },
      m_cachedDuration, std::move(places));
}

void TranscriptionViewModel::reset() {
  const auto kind = m_state.kind();
  if (kind != ProcessingState::Kind::completed && kind != ProcessingState::Kind::failed) return;
  commitOpenEdit();
  saveIfNeeded();
  if (!modelsLoaded()) {
    // Start-up failed (a hub that was down, a download cut short): trying again means
    // starting the models again, not a ready screen without them.
    setCurrentFile(QUrl());
    addLog("Reset after error");
    setState(ProcessingState::idle());
    initializeModels();
    return;
  }
  setState(ProcessingState::modelsReady());
  setCurrentFile(QUrl());
  addLog(kind == ProcessingState::Kind::completed ? "Ready for new file" : "Reset after error");
}

void TranscriptionViewModel::clearResult() {
  commitOpenEdit();
  saveIfNeeded();
  if (m_state.kind() == ProcessingState::Kind::completed) setState(ProcessingState::modelsReady());
  setCurrentFile(QUrl());
  setCurrentTranscription(nullptr);
  setCurrentAudioSource(nullptr);
  setMediaSource(std::nullopt);
  // What a failed save left in the context is still to be written.
  m_shownEditsPending = false;
  setHasUnsavedChanges(!m_saveFailure.isEmpty());
  m_audioPlayer->unload();
  setCurrentSegmentIndex(std::nullopt);
  setSpeakers({});
}

}  // namespace parlowvista
