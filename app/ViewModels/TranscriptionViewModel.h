#pragma once

#include "Models/AudioEnhancementSettings.h"
#include "Models/AudioSource.h"
#include "Models/ContentTab.h"
#include "Models/DiarizationPreset.h"
#include "Models/DiarizationSettings.h"
#include "Models/MediaSource.h"
#include "Models/ProcessingState.h"
#include "Models/Speaker.h"
#include "Models/Transcription.h"
#include "Services/ExportService.h"
#include "Store/ModelContext.h"
#include "ViewModels/BackgroundJob.h"
#include "ViewModels/DiarizerChoice.h"
#include "ViewModels/EnhancementPreview.h"
#include "ViewModels/LogEntry.h"
#include "ViewModels/OnlineVideoDownload.h"
#include "ViewModels/SegmentMerger.h"
#include "ViewModels/SpeakerList.h"
#include "ViewModels/StartupFailure.h"
#include "ViewModels/TranscriptionViewModelDependencies.h"
#include "ViewModels/TranslationHandOff.h"

#include <voxtrellis/SoundPlaces.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace voxtrellis {
struct OfflineDiarizerConfig;
}

namespace parlowvista {

class AudioPlayerService;
class SpeakerDiarizer;
class SpeechRecognizer;
class TranscriptGroup;
struct TranslationOutcome;

// The one controller of the main window: starts the speech models, takes one audio file or
// online-video address through enhancement, loading, recognition, diarization and merging,
// stores each run as a version, and carries editing, re-processing, saving, export and the
// hand-off to translation.
//
// Threads: lives on the UI thread; every field is read and written there. Long steps (model
// loading, enhancement, decoding, recognition, diarization, cache reads and writes) run on
// worker threads and come back by queued calls.
//
// Runs: one at a time. Every road (a file, an online video, re-processing, re-transcribing
// one segment, applying diarization settings) takes the busy guard synchronously when it
// starts and gives it back when it ends; while it is held other roads are refused with their
// log line and stored versions cannot be loaded. Each road and each load takes a new
// generation number; results of an older generation are dropped when they arrive.
//
// Refusals are activity-log lines, never errors; only a processing road's failure moves the
// state to `failed`. A diarization that fails keeps the recognised text as one speaker and
// says so in the status line and the log; a file in which nothing was recognised fails with
// "No speech detected in audio" and stores nothing.
//
// Nothing finished is dropped because the store cannot take it: a run whose version cannot be
// saved keeps it in the context as the current, unsaved version. Until a save reaches the file
// again, hasUnsavedChanges() stays set (also when another version is opened or the result is
// cleared, as the context still holds the change), so quitting asks, and the autosave keeps
// trying; the status line says that the work is not saved yet and why while a file whose work
// it is is shown, never over another, saved one.
//
// Run options (preset, threshold, speaker counts, subtitle limits) start from the settings'
// transcription defaults and follow them when they change; each run takes them as they are
// when it starts, builds its diarizer from them when they differ from the current one's, and
// stores with its version the choices its diarizer really ran with.
class TranscriptionViewModel : public QObject {
  Q_OBJECT
  Q_PROPERTY(QUrl currentFile READ currentFile NOTIFY currentFileChanged)
  Q_PROPERTY(double customThreshold READ customThreshold WRITE setCustomThreshold NOTIFY customThresholdChanged)
  Q_PROPERTY(bool isEnhancerAvailable READ isEnhancerAvailable NOTIFY isEnhancerAvailableChanged)
  Q_PROPERTY(double enhancementProgress READ enhancementProgress NOTIFY enhancementProgressChanged)
  Q_PROPERTY(bool isGeneratingPreview READ isGeneratingPreview NOTIFY isGeneratingPreviewChanged)
  Q_PROPERTY(QUrl previewOriginalURL READ previewOriginalURL NOTIFY previewOriginalURLChanged)
  Q_PROPERTY(QUrl previewEnhancedURL READ previewEnhancedURL NOTIFY previewEnhancedURLChanged)
  Q_PROPERTY(bool previewPlayingOriginal READ previewPlayingOriginal NOTIFY previewPlayingOriginalChanged)
  Q_PROPERTY(bool previewPlayingEnhanced READ previewPlayingEnhanced NOTIFY previewPlayingEnhancedChanged)
  Q_PROPERTY(qint64 maxSubtitleChars READ maxSubtitleChars WRITE setMaxSubtitleChars NOTIFY maxSubtitleCharsChanged)
  Q_PROPERTY(double maxSubtitleDuration READ maxSubtitleDuration WRITE setMaxSubtitleDuration NOTIFY
                 maxSubtitleDurationChanged)
  Q_PROPERTY(bool hasUnsavedChanges READ hasUnsavedChanges NOTIFY hasUnsavedChangesChanged)
  Q_PROPERTY(QDateTime lastSaveTime READ lastSaveTime NOTIFY lastSaveTimeChanged)
  Q_PROPERTY(bool reassignToThisSegmentOnly READ reassignToThisSegmentOnly WRITE setReassignToThisSegmentOnly NOTIFY
                 reassignToThisSegmentOnlyChanged)
  Q_PROPERTY(
      bool isYouTubeDownloaderAvailable READ isYouTubeDownloaderAvailable NOTIFY isYouTubeDownloaderAvailableChanged)
  Q_PROPERTY(double downloadProgress READ downloadProgress NOTIFY downloadProgressChanged)
  Q_PROPERTY(QString downloadStatus READ downloadStatus NOTIFY downloadStatusChanged)
  Q_PROPERTY(bool isTranslating READ isTranslating NOTIFY isTranslatingChanged)
  Q_PROPERTY(double translationProgress READ translationProgress NOTIFY translationProgressChanged)
  Q_PROPERTY(QString translationStatus READ translationStatus NOTIFY translationStatusChanged)
  Q_PROPERTY(bool isBusy READ isBusy NOTIFY isBusyChanged)

 public:
  // What the view model works with (see TranscriptionViewModelDependencies).
  using Dependencies = TranscriptionViewModelDependencies;

  // Throws std::invalid_argument when a required dependency is missing.
  explicit TranscriptionViewModel(Dependencies dependencies, QObject* parent = nullptr);
  // Stops the timers and preview playback and removes the preview excerpts. Work still
  // running on worker threads is asked to stop, ends at its next check (a chunk, a batch) and
  // is waited for; its results are dropped.
  ~TranscriptionViewModel() override;

  // ---- published state ------------------------------------------------------

  const ProcessingState& state() const { return m_state; }
  // Both follow `state` and change with stateChanged(); the progress also moves within the
  // long stages (enhancement, recognition, diarization), with progressChanged(), and never
  // goes back during a run.
  double progress() const;        // 0...1
  QString statusMessage() const;  // the status line
  // The status line warns: the shown result's speakers could not be told apart, or its work is
  // not saved yet.
  bool hasStatusWarning() const { return !m_statusNote.isEmpty() || showsUnsavedFile(); }
  // The work on screen is not in the store yet: its edits wait for the next save, or a save of
  // its file's work failed. Another file's unsaved work does not count here (hasUnsavedChanges()
  // does).
  bool isShownWorkUnsaved() const {
    return m_hasUnsavedChanges && (m_saveFailure.isEmpty() || m_shownEditsPending || showsUnsavedFile());
  }
  // Why work is not in the store yet: the store's words for the last failed save ("The disk
  // is full"); empty once a save has reached the file.
  const QString& saveFailure() const { return m_saveFailure; }
  QUrl currentFile() const { return m_currentFile; }
  const QList<LogEntry>& logs() const { return m_logs; }  // newest 100, oldest first
  // A line in the activity log; the window's own refusals go there too.
  void addLog(const QString& message);

  DiarizationPreset diarizationPreset() const { return m_diarizationPreset; }
  void setDiarizationPreset(DiarizationPreset preset) {
    publish(m_diarizationPreset, preset, &TranscriptionViewModel::diarizationPresetChanged);
  }
  double customThreshold() const { return m_customThreshold; }
  void setCustomThreshold(double value) {
    publish(m_customThreshold, value, &TranscriptionViewModel::customThresholdChanged);
  }
  std::optional<qint64> numSpeakers() const { return m_numSpeakers; }
  void setNumSpeakers(std::optional<qint64> value) {
    publish(m_numSpeakers, value, &TranscriptionViewModel::numSpeakersChanged);
  }
  std::optional<qint64> minSpeakers() const { return m_minSpeakers; }
  void setMinSpeakers(std::optional<qint64> value) {
    publish(m_minSpeakers, value, &TranscriptionViewModel::minSpeakersChanged);
  }
  std::optional<qint64> maxSpeakers() const { return m_maxSpeakers; }
  void setMaxSpeakers(std::optional<qint64> value) {
    publish(m_maxSpeakers, value, &TranscriptionViewModel::maxSpeakersChanged);
  }
  qint64 maxSubtitleChars() const { return m_maxSubtitleChars; }
  void setMaxSubtitleChars(qint64 value) {
    publish(m_maxSubtitleChars, value, &TranscriptionViewModel::maxSubtitleCharsChanged);
  }
  double maxSubtitleDuration() const { return m_maxSubtitleDuration; }
  void setMaxSubtitleDuration(double seconds) {
    publish(m_maxSubtitleDuration, seconds, &TranscriptionViewModel::maxSubtitleDurationChanged);
  }

  const AudioEnhancementSettings& audioEnhancement() const { return m_audioEnhancement; }
  // Other settings make a preview made with the old ones go (it no longer previews them).
  void setAudioEnhancement(const AudioEnhancementSettings& settings);
  bool isEnhancerAvailable() const { return m_isEnhancerAvailable; }
  double enhancementProgress() const { return m_enhancementProgress; }

  bool isGeneratingPreview() const { return m_preview->isGenerating(); }
  QUrl previewOriginalURL() const { return m_preview->originalURL(); }
  QUrl previewEnhancedURL() const { return m_preview->enhancedURL(); }
  bool previewPlayingOriginal() const { return m_preview->playingOriginal(); }
  bool previewPlayingEnhanced() const { return m_preview->playingEnhanced(); }

  // The transcript's clock and player (owned by the view model).
  AudioPlayerService& audioPlayer() const { return *m_audioPlayer; }
  std::optional<qsizetype> currentSegmentIndex() const { return m_currentSegmentIndex; }
  AudioSource* currentAudioSource() const { return m_currentAudioSource; }
  Transcription* currentTranscription() const { return m_currentTranscription; }
  bool hasUnsavedChanges() const { return m_hasUnsavedChanges; }
  QDateTime lastSaveTime() const { return m_lastSaveTime; }  // invalid until the first save
  const QList<Speaker>& speakers() const { return m_speakers; }
  bool reassignToThisSegmentOnly() const { return m_reassignToThisSegmentOnly; }
  void setReassignToThisSegmentOnly(bool value) {
    publish(m_reassignToThisSegmentOnly, value, &TranscriptionViewModel::reassignToThisSegmentOnlyChanged);
  }
  std::optional<qsizetype> retranscribingSegmentIndex() const { return m_retranscribingSegmentIndex; }
  bool isYouTubeDownloaderAvailable() const { return m_download.isDownloaderAvailable(); }
  double downloadProgress() const { return m_download.progress(); }
  QString downloadStatus() const { return m_download.status(); }
  const std::optional<MediaSource>& mediaSource() const { return m_mediaSource; }
  const ContentTab& activeTab() const { return m_activeTab; }
  void setActiveTab(const ContentTab& tab);
  bool isTranslating() const { return m_translation.isTranslating(); }
  double translationProgress() const { return m_translation.progress(); }
  QString translationStatus() const { return m_translation.status(); }
  // Why the last translation hand-off failed ("Translation failed: ..."); none after a success,
  // a cancel, or while one runs. Changes before isTranslatingChanged().
  const std::optional<QString>& translationError() const { return m_translation.error(); }

  // A road holds the busy guard.
  bool isBusy() const { return m_busy; }
  // Both models are loaded.
  bool modelsLoaded() const { return m_recognizer && m_diarizer; }
  // Samples of the current source are in memory (re-processing and re-transcription).
  bool hasCachedSamples() const { return m_cachedSamples != nullptr; }
  std::optional<double> cachedDuration() const { return m_cachedDuration; }
  std::shared_ptr<const std::vector<float>> cachedSamples() const { return m_cachedSamples; }
  // What the results view's re-transcribe buttons need: samples, a recogniser, nothing running.
  bool canRetranscribeSegment() const;

  // ---- derived views -----------------------------------------------------------

  // The transcript shown in the current tab: the stored translation's (read once per tab, so
  // its segment ids stay the same between calls), or the result of `completed` for the
  // original tab; nothing otherwise. Changes with stateChanged() and activeTabChanged().
  // Whatever describes the tab shown (the results header, the side panel's figures and
  // speakers, an export) reads it.
  std::optional<TranscriptionResult> activeResult() const;
  // `speakers` for the original tab; for a translation, its stored speakers and those its
  // segments name, by the rule that loads a version's speakers.
  QList<Speaker> activeSpeakers() const;
  // Target languages the current version already has translations for.
  QSet<QString> existingTranslationLanguages() const;

  // ---- start-up and roads ------------------------------------------------------

  // The store context the window hands over (may stay null: results are then only shown).
  void setModelContext(ModelContext* context);
  ModelContext* modelContext() const { return m_modelContext; }

  // Downloads what is missing and loads the recogniser, then the diarizer. Only from `idle`.
  void initializeModels();
  // The road of one file. Refused unless ready (modelsReady, completed or failed) and idle.
  void processFile(const QUrl& url);
  // The online-video road: download, keep a copy in the downloads folder, then the file road.
  void processYouTubeURL(const QString& address);
  // Recognition, diarization and merging again on the cached samples with the current
  // settings, written into the version that was current when it started.
  void reprocess();
  // Rebuilds the diarizer from the current settings (only when ready and idle).
  void updateDiarizationSettings();
  voxtrellis::OfflineDiarizerConfig buildDiarizationConfig();

  // Stops the translation hand-off in flight: nothing of it is stored and the tab stays.
  void cancelTranslation();

  // Back to the ready screen after a completed or failed run (saves unsaved edits first).
  // After a failed start-up it starts the models again instead (what is loaded is kept).
  void reset();
  // Drops the shown result (saves unsaved edits first).
  void clearResult();
  // Moves the clock to a segment's start (segments of the shown tab).
  void seekToSegment(qsizetype index);
  void loadAudioForPlayback(bool muteForYouTube);

  // ---- editing (the current version's own result) -------------------------------------
  // A translation tab is read-only: while one is shown, the segment and speaker edits below
  // are refused with the log line "Cannot edit a translation".

  void updateSegmentText(qsizetype index, const QString& newText);
  std::optional<qsizetype> splitSegment(qsizetype index, const QString& withText, qint64 cursorPosition);
  std::optional<qsizetype> mergeWithPrevious(qsizetype index, const QString& currentText);
  void loadSpeakers(Transcription* transcription);
  void renameSpeaker(qint64 speakerId, const QString& name);
  std::optional<Speaker> addNewSpeaker();  // nothing when refused
  void reassignSegment(qsizetype index, qint64 speakerId, bool applyToAll);
  // The speaker's share of the shown tab's transcript (activeResult()).
  SpeakerStats speakerStats(qint64 speakerId) const;
  // Recognises one segment's stretch of the cached samples again; the text lands in that
  // segment (found by id) only while its version is still the current one.
  void retranscribeSegment(qsizetype index);

  // ---- the text being typed ---------------------------------------------------------
  // What is typed into a segment's open editor is no edit until the editor commits it (as it does
  // when the field loses the focus). Whoever shows that editor says how to commit it; every action
  // that leaves the shown transcript, copies it, re-runs it or writes it out commits it first, so
  // the typed text goes into the version it was typed into and into what the action makes.
  void setOpenEditCommitter(const QObject* owner, std::function<void()> commit);
  // Only the owner's own committer goes (a newer owner's stays).
  void clearOpenEditCommitter(const QObject* owner);
  // Commits the open editor's text as an edit; nothing when no editor is open.
  void commitOpenEdit();

  // ---- versions ------------------------------------------------------------------

  // (Re)starts the autosave timer with the settings' interval; a later change of the interval
  // applies at once.
  void setupAutoSave();
  void saveCurrentTranscription();
  // Saves when there are unsaved edits; the callers that replace or drop the current
  // version use it first.
  void saveIfNeeded();
  // Shows a stored version. Refused while a road runs (logs "Cannot load transcription -
  // system busy"); unsaved edits of the current version are saved first.
  void loadTranscription(Transcription* transcription);
  // Saves unsaved edits into the current version first, then copies it with them.
  void duplicateCurrentTranscription(const std::optional<QString>& newName = std::nullopt);

  // ---- export and translation --------------------------------------------------

  // What is exported is the transcript of the tab shown, with its speakers: the current
  // version's own result (with unsaved edits) on the original tab, the translated text on a
  // translation's tab, whose file name then says its language ("talk (German).srt").

  // Asks for a file (non-blocking) and writes the shown transcript to it.
  void exportTranscript(ExportFormat format);
  // Asks for a folder and writes TXT, SRT and JSON into it.
  void exportAll();
  // The file name suggested for an export of the tab shown.
  QString exportFileName(ExportFormat format) const;
  // Write `result` with the current version's speakers, or with the given ones.
  void performExport(const TranscriptionResult& result, ExportFormat format, const QString& filePath);
  void performExport(const TranscriptionResult& result, const QList<Speaker>& speakers, ExportFormat format,
                     const QString& filePath);
  void performExportAll(const TranscriptionResult& result, const QString& folder);
  void performExportAll(const TranscriptionResult& result, const QList<Speaker>& speakers, const QString& baseName,
                        const QString& folder);
  // Stores the translation as a new version and shows its tab, unless the user has moved to
  // another version meanwhile (it is stored all the same).
  void createTranslation(const QString& targetLanguage);
  void deleteTranslation(Transcription* translation);

  // ---- enhancement preview -------------------------------------------------------

  void generateEnhancementPreview();
  void stopPreviewPlayback();
  void cleanupPreviews();
  void playPreviewOriginal();
  void playPreviewEnhanced();
  // Interval after which a preview playback stops by itself (11 s).
  void setPreviewAutoStopInterval(int milliseconds) { m_preview->setAutoStopInterval(milliseconds); }

  // ---- store look-ups of the file road -------------------------------------------

  TranscriptGroup* getLastUsedGroup();
  // Null when a new source cannot be stored (nothing of it stays; `failure` gets the reason).
  AudioSource* getOrCreateAudioSource(const QUrl& url, double duration, TranscriptGroup* group,
                                      const std::optional<QString>& youtubeVideoId,
                                      const std::optional<QString>& youtubeOriginalURL, QString* failure = nullptr);
  void createAndSaveTranscription(AudioSource* source, const TranscriptionResult& result,
                                  const std::optional<QString>& name);
  void initializeSpeakersFromResult();

 signals:
  void stateChanged();
  void currentFileChanged();
  void logsChanged();
  void diarizationPresetChanged();
  void customThresholdChanged();
  void numSpeakersChanged();
  void minSpeakersChanged();
  void maxSpeakersChanged();
  void audioEnhancementChanged();
  void isEnhancerAvailableChanged();
  void enhancementProgressChanged();
  void isGeneratingPreviewChanged();
  void previewOriginalURLChanged();
  void previewEnhancedURLChanged();
  void previewPlayingOriginalChanged();
  void previewPlayingEnhancedChanged();
  void maxSubtitleCharsChanged();
  void maxSubtitleDurationChanged();
  void currentSegmentIndexChanged();
  void currentAudioSourceChanged();
  void currentTranscriptionChanged();
  void hasUnsavedChangesChanged();
  void lastSaveTimeChanged();
  void speakersChanged();
  void reassignToThisSegmentOnlyChanged();
  void retranscribingSegmentIndexChanged();
  void isYouTubeDownloaderAvailableChanged();
  void downloadProgressChanged();
  void downloadStatusChanged();
  void mediaSourceChanged();
  void activeTabChanged();
  void isTranslatingChanged();
  void translationProgressChanged();
  void translationStatusChanged();
  void isBusyChanged();
  // progress() moved within the current stage.
  void progressChanged();
  // The samples in memory came or went (hasCachedSamples(), canRetranscribeSegment()).
  void cachedSamplesChanged();

 private:
  struct Road;

  // Stores a published field and announces it, even when the value is the same.
  template <typename Field, typename Value>
  void publish(Field& field, Value&& value, void (TranscriptionViewModel::*changed)()) {
    field = std::forward<Value>(value);
    emit(this->*changed)();
  }
  // Stores and announces only a different value.
  template <typename Field, typename Value>
  void publishChange(Field& field, const Value& value, void (TranscriptionViewModel::*changed)()) {
    if (field == value) return;
    field = value;
    emit(this->*changed)();
  }

  // The status note (set just before a run's result is published) lasts while that result is
  // shown and edited; any other state, or another version loaded, ends it.
  void setState(ProcessingState state) {
    m_stageProgress = 0;
    if (state.kind() != ProcessingState::Kind::completed) m_statusNote.clear();
    publish(m_state, std::move(state), &TranscriptionViewModel::stateChanged);
  }
  // What a road's long step reports, taken to the UI thread: moves progress() within `stage`
  // while that stage of this run is the current one. Reports that move it by less than a
  // thousandth of the bar are not passed on.
  std::function<void(double)> stageProgressReporter(const std::shared_ptr<Road>& road, ProcessingStage stage);
  void setStageProgress(ProcessingStage stage, double fraction);
  // Another file makes the enhancement preview of the one before go.
  void setCurrentFile(const QUrl& url);
  void setMediaSource(const std::optional<MediaSource>& source);
  void setCurrentAudioSource(AudioSource* source);
  // Keeps a translation's tab only while the new current version is the one it translates.
  void setCurrentTranscription(Transcription* transcription);
  void showOriginalTab();
  void setHasUnsavedChanges(bool value);
  // The shown version was edited: the next save writes it.
  void noteShownEdited();
  void setLastSaveTime(const QDateTime& at);
  void setSpeakers(QList<Speaker> speakers);
  void setCurrentSegmentIndex(std::optional<qsizetype> index) {
    publish(m_currentSegmentIndex, index, &TranscriptionViewModel::currentSegmentIndexChanged);
  }
  void setRetranscribingSegmentIndex(std::optional<qsizetype> index) {
    publish(m_retranscribingSegmentIndex, index, &TranscriptionViewModel::retranscribingSegmentIndexChanged);
  }
  void setEnhancementProgress(double value) {
    publish(m_enhancementProgress, value, &TranscriptionViewModel::enhancementProgressChanged);
  }
  void setCachedSamples(std::shared_ptr<const std::vector<float>> samples, std::optional<double> duration,
                        const QUuid& sourceId, std::shared_ptr<const voxtrellis::SoundPlaces> places = nullptr);
  void clearCachedSamples();

  bool isReady() const;
  // Start-up's second half: prepares the diarizer, then `modelsReady`, or `failed` with these
  // failures of the first half and its own.
  void prepareDiarizerForStartUp(QList<ModelFailure> failures);
  const std::optional<TranscriptionResult>& shownTranslation() const;
  // activeResult() without the copy: null when nothing is shown.
  const TranscriptionResult* shownResult() const;
  // A version's speakers: those stored (named or coloured) and those its segments name, by id.
  static QList<Speaker> speakersOf(const Transcription& transcription);
  bool refuseOnTranslationTab();
  // Takes the busy guard and a new generation; false (nothing changes) when already busy.
  bool beginRun();
  void endRun();
  void failRun(const QString& message, const QString& details);
  void updateCurrentSegment(double time);
  void startFileRoad(const QUrl& url, const std::optional<QString>& youtubeVideoId,
                     const std::optional<QString>& youtubeOriginalURL);
  template <typename T>
  void runRoadStep(const std::shared_ptr<Road>& road, std::function<T()> work, std::function<void(T)> then);
  void loadForRoad(const std::shared_ptr<Road>& road);
  void enhanceForRoad(const std::shared_ptr<Road>& road);
  // Keeps the run's samples: the library's source, the samples in memory and in the cache.
  void keepSamplesForRoad(const std::shared_ptr<Road>& road);
  void recognizeForRoad(const std::shared_ptr<Road>& road);
  void diarizeForRoad(const std::shared_ptr<Road>& road);
  void runDiarizer(const std::shared_ptr<Road>& road);
  void mergeForRoad(const std::shared_ptr<Road>& road,
                    const std::shared_ptr<voxtrellis::DiarizationResult>& diarization);
  void finishRoad(const std::shared_ptr<Road>& road, MergeOutcome merged);
  void showRoadResult(const std::shared_ptr<Road>& road, const TranscriptionResult& result);
  void afterThisTurn(std::function<void()> step);  // after the window has drawn, timers and input
  void writeReprocessedVersion(const std::shared_ptr<Road>& road, const TranscriptionResult& result);
  DiarizerChoice currentChoice() const;
  voxtrellis::OfflineDiarizerConfig buildDiarizationConfig(const DiarizationSettings& settings);
  void rebuildDiarizer(const DiarizerChoice& choice, std::function<void()> then);
  void followSettingsDefaults();
  // Puts the source's file into the player with its media source; when the file cannot be
  // found, empties the player and asks for the file to be located.
  void openSourceFile(AudioSource* source);
  void reopenRelocatedFile(AudioSource* source);
  void cacheSamplesInBackground(const std::shared_ptr<const std::vector<float>>& samples, AudioSource* source,
                                std::shared_ptr<const voxtrellis::SoundPlaces> places);
  void requestCachedSamples(AudioSource* source);
  void saveSpeakers(Transcription* transcription);
  // Stores a new version of `source` holding `result` and the speakers' names and colours,
  // made with `choice` and `limits` (named "Version <n>" unless `name` is given), and makes it
  // the current, saved one. When the save fails the log gets `failureLog` and the error; a
  // version to keep then stays in the context as the current, unsaved one, any other goes and
  // the result is null.
  enum class OnSaveFailure { keepUnsaved, drop };
  Transcription* storeNewVersion(AudioSource* source, const std::optional<QString>& name, double processingTime,
                                 const TranscriptionResult& result, const DiarizerChoice& choice,
                                 const SubtitleLimits& limits, const QString& failureLog, OnSaveFailure onFailure);
  // A save of the context failed: its changes stay there, unsaved, and while `source` (whose
  // work it was) is shown the status says why.
  void noteSaveFailed(const QString& reason, const AudioSource* source);
  // The file shown is one whose work a failed save left unsaved.
  bool showsUnsavedFile() const;
  void createVersionOfRun(AudioSource* source, const TranscriptionResult& result, const DiarizerChoice& choice,
                          const SubtitleLimits& limits, const std::optional<QString>& name = std::nullopt);
  void finishTranslation(quint64 run, const TranslationOutcome& outcome, QPointer<Transcription> version,
                         TranscriptionResult result);

  Dependencies m_deps;
  AudioPlayerService* m_audioPlayer = nullptr;
  QTimer m_autoSaveTimer;
  std::unique_ptr<EnhancementPreview> m_preview;  // goes in the destructor, before the jobs are waited for
  std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);

  ProcessingState m_state;
  QString m_statusNote;          // e.g. why speakers were not told apart in the shown result
  QString m_saveFailure;         // why the context holds changes no save could write yet
  QSet<QUuid> m_unsavedSources;  // the files whose work those changes are
  double m_stageProgress = 0;    // within the current stage, 0...1
  QUrl m_currentFile;
  QList<LogEntry> m_logs;
  DiarizationPreset m_diarizationPreset = DiarizationPreset::moreSpeakers;
  double m_customThreshold = 0.5;
  std::optional<qint64> m_numSpeakers = 2;
  std::optional<qint64> m_minSpeakers;
  std::optional<qint64> m_maxSpeakers;
  AudioEnhancementSettings m_audioEnhancement;
  bool m_isEnhancerAvailable = false;
  double m_enhancementProgress = 0;
  qint64 m_maxSubtitleChars = 150;
  double m_maxSubtitleDuration = 12.0;
  std::optional<qsizetype> m_currentSegmentIndex;
  QPointer<AudioSource> m_currentAudioSource;
  QPointer<Transcription> m_currentTranscription;
  bool m_hasUnsavedChanges = false;
  // The shown version has edits the store context does not hold yet. Without them, and with no
  // failed save of its file, a save has nothing of that file to write.
  bool m_shownEditsPending = false;
  QDateTime m_lastSaveTime;
  QPointer<ModelContext> m_modelContext;
  SegmentEdits m_segmentEdits;  // what the shown transcript changed since the version's rows took it
  QList<Speaker> m_speakers;
  bool m_reassignToThisSegmentOnly = true;
  std::optional<qsizetype> m_retranscribingSegmentIndex;
  OnlineVideoDownload m_download;
  std::optional<MediaSource> m_mediaSource;
  ContentTab m_activeTab;
  mutable std::optional<TranscriptionResult> m_shownTranslation;  // the translation tab's rows, read once
  const QObject* m_openEditOwner = nullptr;                       // who shows the segment editor, and how it commits
  std::function<void()> m_commitOpenEdit;
  bool m_committingOpenEdit = false;
  TranslationHandOff m_translation;

  std::shared_ptr<SpeechRecognizer> m_recognizer;
  std::shared_ptr<SpeakerDiarizer> m_diarizer;
  DiarizerChoice m_diarizerChoice;  // what m_diarizer was built from
  std::shared_ptr<const std::vector<float>> m_cachedSamples;
  std::optional<double> m_cachedDuration;
  QUuid m_cachedSamplesSourceId;  // the source the cached samples belong to (null: unstored)
  // Where the loader found the sound in the file of those samples, when it was just loaded.
  std::shared_ptr<const voxtrellis::SoundPlaces> m_cachedPlaces;
  // Samples whose cache files are still being written, by source, with the loader's places of
  // their sound: a read of the files could come before the write has landed, and find nothing.
  struct BeingCached {
    std::shared_ptr<const std::vector<float>> samples;
    std::shared_ptr<const voxtrellis::SoundPlaces> places;
  };
  QHash<QUuid, BeingCached> m_samplesBeingCached;

  bool m_busy = false;
  quint64 m_generation = 0;  // bumped by every road and every load
  JobPool m_jobs;            // last, so that it is drained first: the jobs under way end before the rest goes
};

}  // namespace parlowvista
