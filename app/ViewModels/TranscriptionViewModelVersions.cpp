// Saving, autosave, loading and duplicating versions.

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/Transcription.h"
#include "Services/FileAccessManager.h"
#include "Services/SampleCache.h"
#include "Store/ModelContext.h"
#include "Store/StoreError.h"
#include "ViewModels/BackgroundJob.h"
#include "ViewModels/TranscriptionViewModel.h"

namespace parlowvista {

void TranscriptionViewModel::setCurrentTranscription(Transcription* transcription) {
  publish(m_currentTranscription, transcription, &TranscriptionViewModel::currentTranscriptionChanged);
  const Transcription* shown = m_activeTab.transcription();
  if (m_activeTab.isTranslation() && (!shown || shown->sourceTranscription() != transcription)) showOriginalTab();
}

void TranscriptionViewModel::showOriginalTab() {
  if (m_activeTab.isTranslation()) setActiveTab(ContentTab::original());
}

void TranscriptionViewModel::setModelContext(ModelContext* context) {
  if (m_modelContext) disconnect(m_modelContext, nullptr, this, nullptr);
  m_modelContext = context;
  if (!context) return;
  // Whatever a failed save left in the context has reached the file with this one, whoever
  // saved. With no version shown, nothing unsaved is left outside the context either; a shown
  // version's edits are written by the next save of its own.
  connect(context, &ModelContext::didSave, this, [this] {
    if (m_saveFailure.isEmpty()) return;
    m_saveFailure.clear();
    m_unsavedSources.clear();
    if (!m_shownEditsPending) setHasUnsavedChanges(false);
    emit stateChanged();
  });
  // A translation deleted anywhere (its tab, the versions bar, with its version) leaves the tab.
  connect(context, &ModelContext::objectDeleted, this, [this](PersistentModel* object) {
    if (m_activeTab.isTranslation() && object->id() == m_activeTab.translationId()) showOriginalTab();
  });
  // A deleted source takes its sample cache file with it once the deletion is saved.
  auto removed = std::make_shared<QList<QUuid>>();
  connect(context, &ModelContext::objectDeleted, this, [removed](PersistentModel* object) {
    if (object->entityType() == EntityType::audioSource) removed->append(object->id());
  });
  connect(context, &ModelContext::didSave, this, [this, removed] {
    if (removed->isEmpty()) return;
    const QList<QUuid> ids = std::exchange(*removed, {});
    for (const QUuid& id : ids) {
      if (id == m_cachedSamplesSourceId) clearCachedSamples();
    }
    auto cache = m_deps.sampleCache;
    runJob<bool>(
        m_jobs, this,
        [cache, ids] {
          for (const QUuid& id : ids) cache->removeCachedSamples(id);
          return true;
        },
        [](JobResult<bool>) {});
  });
}

void TranscriptionViewModel::setupAutoSave() {
  const double seconds = m_deps.settings->autoSaveInterval();
  m_autoSaveTimer.stop();
  m_autoSaveTimer.start(std::max(1, static_cast<int>(seconds * 1000)));
}

void TranscriptionViewModel::followSettingsDefaults() {
  AppSettings* settings = m_deps.settings;
  const auto takeDefaults = [this, settings] {
    setDiarizationPreset(settings->defaultDiarizationPreset());
    setCustomThreshold(settings->defaultCustomThreshold());
    setMaxSubtitleChars(settings->defaultMaxSubtitleChars());
    setMaxSubtitleDuration(settings->defaultMaxSubtitleDuration());
  };
  takeDefaults();
  for (auto changed : {&AppSettings::defaultDiarizationPresetChanged, &AppSettings::defaultCustomThresholdChanged,
                       &AppSettings::defaultMaxSubtitleCharsChanged, &AppSettings::defaultMaxSubtitleDurationChanged}) {
    connect(settings, changed, this, takeDefaults);
  }
  connect(settings, &AppSettings::autoSaveIntervalChanged, this, [this] {
    if (m_autoSaveTimer.isActive()) setupAutoSave();
  });
}

void TranscriptionViewModel::saveCurrentTranscription() {
  const TranscriptionResult* result = m_state.result();
  const bool pending = m_modelContext && !m_saveFailure.isEmpty();
  if (!pending && (!m_modelContext || !m_currentTranscription || !result)) {
    addLog("Cannot save: missing context, transcription, or result");
    return;
  }
  // The version on screen is written when there is work of it to write: its edits, the work a
  // failed save of its file left, or anything at all when no save has failed. Otherwise (a saved
  // file shown while another's work waits) only what the failed save left is written, and
  // should that fail again, the saved file is not the one said to be unsaved.
  const bool writesShown =
      m_currentTranscription && result && (m_shownEditsPending || m_saveFailure.isEmpty() || showsUnsavedFile());
  if (writesShown) {
    m_modelContext->updateSegments(m_currentTranscription, *result, m_segmentEdits);
    saveSpeakers(m_currentTranscription);
    m_shownEditsPending = false;  // the context holds them now, saved or not
  }
  try {
    m_modelContext->save();
  } catch (const StoreError& error) {
    addLog("Failed to save: " + error.localizedDescription());
    noteSaveFailed(error.localizedDescription(), writesShown ? m_currentAudioSource : nullptr);
    return;
  }
  setHasUnsavedChanges(false);
  setLastSaveTime(QDateTime::currentDateTime());
  addLog("Transcription saved");
}

void TranscriptionViewModel::saveIfNeeded() {
  if (!m_hasUnsavedChanges || !m_modelContext) return;
  if ((m_currentTranscription && m_state.result()) || !m_saveFailure.isEmpty()) saveCurrentTranscription();
}

void TranscriptionViewModel::setHasUnsavedChanges(bool value) {
  if (!value) m_shownEditsPending = false;
  publish(m_hasUnsavedChanges, value, &TranscriptionViewModel::hasUnsavedChangesChanged);
}

void TranscriptionViewModel::noteShownEdited() {
  m_shownEditsPending = true;
  setHasUnsavedChanges(true);
}

bool TranscriptionViewModel::showsUnsavedFile() const {
  return !m_saveFailure.isEmpty() && m_currentAudioSource && m_unsavedSources.contains(m_currentAudioSource->id());
}

void TranscriptionViewModel::noteSaveFailed(const QString& reason, const AudioSource* source) {
  m_saveFailure = reason;
  if (source) m_unsavedSources.insert(source->id());
  setHasUnsavedChanges(true);
  emit stateChanged();  // the status line says it
}

void TranscriptionViewModel::saveSpeakers(Transcription* transcription) {
  QList<Speaker> overrides;
  for (const Speaker& speaker : m_speakers) {
    if (speaker.customName || speaker.colorHex) overrides.append(speaker);
  }
  m_modelContext->updateSpeakers(transcription, overrides);
}

void TranscriptionViewModel::loadTranscription(Transcription* transcription) {
  if (!transcription) return;
  commitOpenEdit();
  if (transcription->isTranslation()) {
    // A translation is never a working version: it opens read-only in its version's tab.
    Transcription* version = transcription->sourceTranscription();
    if (!version) {
      addLog("Cannot load translation: its version is gone");
      return;
    }
    if (version != m_currentTranscription || !m_state.result()) loadTranscription(version);
    const ContentTab tab = ContentTab::translation(transcription);
    if (m_currentTranscription == version && m_state.result() && !(m_activeTab == tab)) setActiveTab(tab);
    return;
  }
  if (m_busy) {
    addLog("Cannot load transcription - system busy");
    return;
  }
  saveIfNeeded();
  ++m_generation;  // drops sample reads of earlier loads

  // The source first: whoever hears of the new version finds its source already current.
  AudioSource* source = transcription->audioSource();
  setCurrentAudioSource(source);
  setCurrentTranscription(transcription);
  setDiarizationPreset(transcription->preset());
  setCustomThreshold(transcription->customThreshold());
  setMinSpeakers(transcription->minSpeakers());
  setMaxSubtitleChars(transcription->maxSubtitleChars());
  setMaxSubtitleDuration(transcription->maxSubtitleDuration());
  loadSpeakers(transcription);
  m_statusNote.clear();
  setState(ProcessingState::completed(transcription->toResult()));

  if (source) {
    // Samples of another source must never serve this version.
    if (m_cachedSamplesSourceId != source->id()) clearCachedSamples();
    m_cachedDuration = source->duration();
    if (!m_cachedSamples) requestCachedSamples(source);
    addLog(QString("AudioSource: isYouTubeSource=%1, videoId=%2, originalURL=%3")
               .arg(source->isYouTubeSource() ? "true" : "false")
               .arg(source->youtubeVideoId().value_or("nil"))
               .arg(source->youtubeOriginalURL().value_or("nil")));
    openSourceFile(source);
  }
  // What a failed save left in the context is still to be written.
  m_shownEditsPending = false;
  setHasUnsavedChanges(!m_saveFailure.isEmpty());
  addLog("Loaded transcription: " + transcription->name());
}

void TranscriptionViewModel::requestCachedSamples(AudioSource* source) {
  const QUuid id = source->id();
  // Samples still on their way to the cache are taken as they are, with their places: the files
  // may not be there yet.
  if (const BeingCached writing = m_samplesBeingCached.value(id); writing.samples) {
    setCachedSamples(writing.samples, source->duration(), id, writing.places);
    return;
  }
  const quint64 generation = m_generation;
  auto cache = m_deps.sampleCache;
  runJob<std::shared_ptr<const std::vector<float>>>(
      m_jobs, this, [cache, id]() -> std::shared_ptr<const std::vector<float>> { return cache->loadSharedSamples(id); },
      [this, id, generation](JobResult<std::shared_ptr<const std::vector<float>>> loaded) {
        // Only the newest load's read may land, and only for the source still current.
        if (generation != m_generation || !loaded.value || !*loaded.value) return;
        if (!m_currentAudioSource || m_currentAudioSource->id() != id) return;
        setCachedSamples(*loaded.value, m_currentAudioSource->duration(), id);
        addLog(QString("Loaded cached audio samples (%1 samples)").arg((*loaded.value)->size()));
      });
}

void TranscriptionViewModel::duplicateCurrentTranscription(const std::optional<QString>& newName) {
  commitOpenEdit();
  const TranscriptionResult* result = m_state.result();
  if (!m_modelContext || !m_currentTranscription || !m_currentAudioSource || !result) {
    addLog("Cannot duplicate: missing data");
    return;
  }
  // The edits go into the version they were made in as well: the copy may be re-processed next.
  saveIfNeeded();
  // A copy that cannot be stored goes: the version it copies still holds everything.
  if (Transcription* copy = storeNewVersion(
          m_currentAudioSource, newName, m_currentTranscription->processingTime(), *result, currentChoice(),
          SubtitleLimits{m_maxSubtitleChars, m_maxSubtitleDuration}, "Failed to duplicate: ", OnSaveFailure::drop)) {
    addLog("Duplicated as: " + copy->name());
  }
}

Transcription* TranscriptionViewModel::storeNewVersion(AudioSource* source, const std::optional<QString>& name,
                                                       double processingTime, const TranscriptionResult& result,
                                                       const DiarizerChoice& choice, const SubtitleLimits& limits,
                                                       const QString& failureLog, OnSaveFailure onFailure) {
  const QString versionName = name.value_or(QString("Version %1").arg(source->transcriptions().size() + 1));
  auto* version = new Transcription(versionName, processingTime, choice.preset, choice.customThreshold,
                                    choice.minSpeakers, limits.maxChars, limits.maxDuration);
  version->setAudioSource(source);
  m_modelContext->insert(version);
  m_modelContext->updateSegments(version, result, m_segmentEdits);
  saveSpeakers(version);  // a copy keeps the names and colours of the version it copies
  try {
    m_modelContext->save();
  } catch (const StoreError& error) {
    addLog(failureLog + error.localizedDescription());
    if (onFailure == OnSaveFailure::drop) {
      m_modelContext->remove(version);  // a failed save must not leave it for the next one
      return nullptr;
    }
    // Kept as the version on screen: edits go into it, and the next save that reaches the
    // file (the autosave's included) writes it with them.
    setCurrentTranscription(version);
    m_shownEditsPending = false;  // all of the version on screen now is in the context
    noteSaveFailed(error.localizedDescription(), source);
    return version;
  }
  setCurrentTranscription(version);
  setHasUnsavedChanges(false);
  setLastSaveTime(QDateTime::currentDateTime());
  return version;
}

}  // namespace parlowvista
