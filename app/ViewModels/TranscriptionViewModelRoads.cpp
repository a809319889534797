// The processing roads of TranscriptionViewModel: the road of one file, re-processing and the
// store look-ups they share.

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/StoredSpeaker.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Services/AudioEnhancer.h"
#include "Services/AudioProcessor.h"
#include "Services/SampleCache.h"
#include "Services/SpeechEngine.h"
#include "Store/ModelContext.h"
#include "Store/StoreError.h"
#include "ViewModels/BackgroundJob.h"
#include "ViewModels/LogFormat.h"
#include "ViewModels/ProcessingStatus.h"
#include "ViewModels/TranscriptionError.h"
#include "ViewModels/TranscriptionViewModel.h"

#include <voxtrellis/OfflineDiarizationError.h>
#include <voxtrellis/WorkStopped.h>

#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <set>

namespace parlowvista {

namespace {

// Whether the recogniser heard no word at all: no text, and no token holding any.
bool heardNothing(const voxtrellis::ASRResult& result) {
  const auto blank = [](const std::string& text) { return QString::fromStdString(text).trimmed().isEmpty(); };
  if (!blank(result.text)) return false;
  if (result.tokenTimings) {
    for (const auto& token : *result.tokenTimings) {
      if (!blank(token.token)) return false;
    }
  }
  return true;
}

// Whether a job ended because it was asked to stop (the application ending).
bool isStopped(const std::exception_ptr& error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const voxtrellis::WorkStopped&) {
    return true;
  } catch (...) {
  }
  return false;
}

}  // namespace

// One run of the file road or of re-processing, carried from step to step.
struct TranscriptionViewModel::Road {
  quint64 generation = 0;
  bool isReprocess = false;
  QUrl url;  // the file as given (never the enhanced copy)
  std::optional<QString> youtubeVideoId;
  std::optional<QString> youtubeOriginalURL;
  QElapsedTimer clock;
  std::optional<AudioEnhancementSettings> enhancement;  // when the loaded samples are to be enhanced
  std::optional<QString> unclaimedDownload;             // a download's kept copy, until a source holds it
  std::shared_ptr<const std::vector<float>> samples;
  double duration = 0;
  std::shared_ptr<const voxtrellis::SoundPlaces> places;  // where the loader found the file's sound
  QPointer<AudioSource> source;
  QPointer<Transcription> target;  // re-processing writes into this version only
  DiarizerChoice wanted;           // the run options as the run started
  DiarizerChoice ran;              // what its diarizer was really built from
  SubtitleLimits limits;
  std::optional<QString> speakerDetectionFailure;
  std::shared_ptr<SpeechRecognizer> recognizer;
  std::shared_ptr<SpeakerDiarizer> diarizer;
  std::shared_ptr<voxtrellis::ASRResult> asr;
};

// Runs one worker step of `road` and hands its value to `then` on the UI thread. A step of a
// road that a newer one has overtaken is dropped; a failed step fails the run.
template <typename T>
void TranscriptionViewModel::runRoadStep(const std::shared_ptr<Road>& road, std::function<T()> work,
                                         std::function<void(T)> then) {
  runJob<T>(m_jobs, this, std::move(work), [this, road, then = std::move(then)](JobResult<T> done) {
    if (m_generation != road->generation) return;
    if (!done.value) {
      // The plain words head the error; what only helps to find out why goes to the log.
      const QString detail = AudioError::detailOf(done.exception);
      if (!detail.isEmpty()) addLog(detail);
      failRun(done.error, detail.isEmpty() ? done.details : detail);
      return;
    }
    then(std::move(*done.value));
  });
}

// ---- the road of one file ----------------------------------------------------------

void TranscriptionViewModel::processFile(const QUrl& url) {
  if (!isReady() || m_busy) {
    addLog("Cannot process file - system busy or not ready");
    return;
  }
  if (!modelsLoaded()) {
    addLog("Models not initialized");
    return;
  }
  commitOpenEdit();
  saveIfNeeded();
  beginRun();
  setCurrentFile(url);
  addLog("Processing file: " + QFileInfo(url.toLocalFile()).fileName());
  setMediaSource(
      MediaSource{MediaSource::SourceType::localFile(), url, QFileInfo(url.toLocalFile()).completeBaseName()});
  startFileRoad(url, std::nullopt, std::nullopt);
}

void TranscriptionViewModel::startFileRoad(const QUrl& url, const std::optional<QString>& youtubeVideoId,
                                           const std::optional<QString>& youtubeOriginalURL) {
  auto road = std::make_shared<Road>();
  road->generation = m_generation;
  road->url = url;
  road->youtubeVideoId = youtubeVideoId;
  road->youtubeOriginalURL = youtubeOriginalURL;
  // The kept copy of a download belongs to the source made from it; a road that fails before
  // there is one removes it, so failed attempts leave nothing in the downloads folder.
  if (youtubeOriginalURL) road->unclaimedDownload = url.toLocalFile();
  road->wanted = currentChoice();
  road->limits = SubtitleLimits{m_maxSubtitleChars, m_maxSubtitleDuration};
  road->clock.start();
  // The enhancer filters the samples the loader read from the file itself: its damage and read
  // errors are said as on the plain road, the transcript keeps its time, and the player seeks by
  // its places.
  if (m_audioEnhancement.enabled && m_isEnhancerAvailable) road->enhancement = m_audioEnhancement;
  loadForRoad(road);
}

void TranscriptionViewModel::loadForRoad(const std::shared_ptr<Road>& road) {
  setState(ProcessingState::processing(ProcessingStage::loadingAudio));
  addLog("Loading audio file...");
  const QString path = road->url.toLocalFile();
  auto loader = m_deps.audioProcessor;
  const std::optional<QString> download = road->unclaimedDownload;
  auto progress = stageProgressReporter(road, ProcessingStage::loadingAudio);
  runRoadStep<std::shared_ptr<LoadedAudio>>(
      road,
      [loader, path, download, progress, stop = m_jobs.stopToken()] {
        try {
          return std::make_shared<LoadedAudio>(loader->loadAndResample(path, progress, stop));
        } catch (...) {
          if (download) QFile::remove(*download);
          throw;
        }
      },
      [this, road](std::shared_ptr<LoadedAudio> audio) {
        if (!audio->damage.isEmpty()) addLog(audio->damage);
        road->duration = audio->duration;
        road->places = audio->places;
        road->samples = std::make_shared<const std::vector<float>>(std::move(audio->samples));
        if (road->enhancement) return enhanceForRoad(road);
        keepSamplesForRoad(road);
      });
}

void TranscriptionViewModel::enhanceForRoad(const std::shared_ptr<Road>& road) {
  setState(ProcessingState::processing(ProcessingStage::enhancingAudio));
  addLog("Enhancing audio quality...");
  addLog("Enhancement: " + road->enhancement->description());
  std::shared_ptr<const AudioEnhancer> enhancer = m_deps.audioEnhancer;
  auto samples = road->samples;
  const AudioEnhancementSettings settings = *road->enhancement;
  QPointer<TranscriptionViewModel> self(this);
  auto stage = stageProgressReporter(road, ProcessingStage::enhancingAudio);
  auto progress = [stage, self, alive = m_alive, generation = road->generation](double fraction) {
    stage(fraction);
    postToUi(alive, [self, generation, fraction] {
      if (self && self->m_generation == generation) self->setEnhancementProgress(fraction);
    });
  };
  runJob<std::shared_ptr<AudioEnhancer::Enhanced>>(
      m_jobs, this,
      [enhancer, samples, settings, progress, stop = m_jobs.stopToken()] {
        return std::make_shared<AudioEnhancer::Enhanced>(enhancer->enhance(*samples, settings, progress, stop));
      },
      [this, road](JobResult<std::shared_ptr<AudioEnhancer::Enhanced>> enhanced) {
        if (m_generation != road->generation) return;
        if (!enhanced.value) {
          if (road->unclaimedDownload) QFile::remove(*road->unclaimedDownload);
          // The tool's errors can be several lines: the last says what failed; all are the details.
          failRun(condensedToolError(enhanced.error), enhanced.details);
          return;
        }
        // What the tool said on a run that went well all the same is said, not passed over.
        if (!(*enhanced.value)->toolErrors.isEmpty())
          addLog("ffmpeg reported while enhancing: " + condensedToolError((*enhanced.value)->toolErrors));
        road->samples = std::make_shared<const std::vector<float>>(std::move((*enhanced.value)->samples));
        addLog("Audio enhanced successfully");
        keepSamplesForRoad(road);
      });
}

void TranscriptionViewModel::keepSamplesForRoad(const std::shared_ptr<Road>& road) {
  if (TranscriptGroup* group = getLastUsedGroup()) {
    QString failure;
    road->source = getOrCreateAudioSource(road->url, road->duration, group, road->youtubeVideoId,
                                          road->youtubeOriginalURL, &failure);
    if (!road->source) {
      // The file cannot even be listed in the library: its transcript could not be kept.
      if (road->unclaimedDownload) QFile::remove(*road->unclaimedDownload);
      failRun(QString("%1 could not be added to the library: %2")
                  .arg(QFileInfo(road->url.toLocalFile()).fileName(), failure),
              "Failed to create audio source: " + failure);
      return;
    }
  }
  // The enhanced samples are kept with the places of the file they were loaded from.
  setCachedSamples(road->samples, road->duration, road->source ? road->source->id() : QUuid(), road->places);
  if (road->source) cacheSamplesInBackground(road->samples, road->source, road->places);
  recognizeForRoad(road);
}

void TranscriptionViewModel::recognizeForRoad(const std::shared_ptr<Road>& road) {
  setState(ProcessingState::processing(ProcessingStage::transcribing));
  addLog("Transcribing speech...");
  road->recognizer = m_recognizer;
  if (!road->recognizer) {
    failRun(TranscriptionError().what(), TranscriptionError().what());
    return;
  }
  auto recognizer = road->recognizer;
  auto samples = road->samples;
  auto progress = stageProgressReporter(road, ProcessingStage::transcribing);
  runRoadStep<std::shared_ptr<voxtrellis::ASRResult>>(
      road,
      [recognizer, samples, progress, stop = m_jobs.stopToken()] {
        return std::make_shared<voxtrellis::ASRResult>(recognizer->transcribe(*samples, progress, stop));
      },
      [this, road](std::shared_ptr<voxtrellis::ASRResult> recognized) {
        // Nothing recognised: there is nothing to tell speakers apart in, nor to keep.
        if (heardNothing(*recognized)) {
          failRun(voxtrellis::OfflineDiarizationError::noSpeechDetected().what(),
                  "The recogniser found no words in the audio");
          return;
        }
        road->asr = std::move(recognized);
        diarizeForRoad(road);
      });
}

void TranscriptionViewModel::diarizeForRoad(const std::shared_ptr<Road>& road) {
  setState(ProcessingState::processing(ProcessingStage::diarizing));
  addLog("Identifying speakers...");
  if (!m_diarizer) {
    failRun(TranscriptionError().what(), TranscriptionError().what());
    return;
  }
  // The options the run started with reach its diarizer: a different choice rebuilds it first.
  if (m_diarizerChoice.settings == road->wanted.settings) return runDiarizer(road);
  rebuildDiarizer(road->wanted, [this, road] {
    if (m_generation == road->generation) runDiarizer(road);
  });
}

void TranscriptionViewModel::runDiarizer(const std::shared_ptr<Road>& road) {
  road->diarizer = m_diarizer;
  // A rebuild that failed leaves the previous diarizer, and its choices are what the run used.
  road->ran = m_diarizerChoice.settings == road->wanted.settings ? road->wanted : m_diarizerChoice;
  auto diarizer = road->diarizer;
  auto samples = road->samples;
  auto progress = stageProgressReporter(road, ProcessingStage::diarizing);
  runJob<std::shared_ptr<voxtrellis::DiarizationResult>>(
      m_jobs, this,
      [diarizer, samples, progress, stop = m_jobs.stopToken()] {
        return std::make_shared<voxtrellis::DiarizationResult>(diarizer->process(*samples, progress, stop));
      },
      [this, road](JobResult<std::shared_ptr<voxtrellis::DiarizationResult>> diarized) {
        if (m_generation != road->generation) return;
        if (diarized.value) return mergeForRoad(road, *diarized.value);
        // The recognised text is worth keeping: it stays, as one speaker.
        road->speakerDetectionFailure = diarized.error;
        addLog("Speaker detection failed: " + diarized.error + " - the text is kept as one speaker");
        mergeForRoad(road, std::make_shared<voxtrellis::DiarizationResult>());
      });
}

std::function<void(double)> TranscriptionViewModel::stageProgressReporter(const std::shared_ptr<Road>& road,
                                                                          ProcessingStage stage) {
  QPointer<TranscriptionViewModel> self(this);
  const quint64 generation = road->generation;
  // A thousandth of the bar, in the stage's own fraction: finer moves are not worth a repaint
  // (a long file's diarization reports every one of its thousands of windows).
  const ProcessingState state = ProcessingState::processing(stage);
  const double span = progressFor(state, 1) - progressFor(state, 0);
  const double smallest = span > 0 ? 0.001 / span : 1;
  // Called only by the worker running the step, so the last value passed on needs no lock.
  auto passedOn = std::make_shared<double>(0);
  return [self, alive = m_alive, generation, stage, smallest, passedOn](double fraction) {
    if (fraction < *passedOn + smallest && fraction < 1) return;
    *passedOn = fraction;
    postToUi(alive, [self, generation, stage, fraction] {
      if (self && self->m_generation == generation) self->setStageProgress(stage, fraction);
    });
  };
}

void TranscriptionViewModel::setStageProgress(ProcessingStage stage, double fraction) {
  // A report that arrives after its stage ended, or one older than the last, changes nothing.
  if (m_state.stage() != stage || fraction <= m_stageProgress) return;
  m_stageProgress = std::min(fraction, 1.0);
  emit progressChanged();
}

void TranscriptionViewModel::mergeForRoad(const std::shared_ptr<Road>& road,
                                          const std::shared_ptr<voxtrellis::DiarizationResult>& diarization) {
  setState(ProcessingState::processing(ProcessingStage::merging));
  addLog("Combining results...");
  // A long file's tens of thousands of tokens take a tenth of a second to merge: on a worker,
  // like the steps before it, so the window keeps drawing.
  auto asr = road->asr;
  const double duration = road->duration;
  const SubtitleLimits limits = road->limits;
  runRoadStep<std::shared_ptr<MergeOutcome>>(
      road,
      [asr, diarization, duration, limits, stop = m_jobs.stopToken()] {
        return std::make_shared<MergeOutcome>(mergeResults(*asr, *diarization, duration, limits, stop));
      },
      [this, road](std::shared_ptr<MergeOutcome> merged) { finishRoad(road, std::move(*merged)); });
}

void TranscriptionViewModel::finishRoad(const std::shared_ptr<Road>& road, MergeOutcome merged) {
  for (const QString& line : merged.log) addLog(line);
  const double processingTime = static_cast<double>(road->clock.nsecsElapsed()) / 1e9;
  auto result = std::make_shared<const TranscriptionResult>(std::move(merged.segments), road->duration, processingTime);
  // The run ends in three events, each after the window has drawn what came before: a long
  // file's thousands of segments take a tenth of a second to store and about as long to show,
  // and the player's start takes its own time. Stored first, so nothing on screen can be
  // edited before it has its version.
  if (road->isReprocess) {
    writeReprocessedVersion(road, *result);
  } else {
    // The version shown before is no longer the one of this run: until the new one is stored,
    // no edit may be saved into it.
    setCurrentAudioSource(road->source);
    setCurrentTranscription(nullptr);
    // Nor do the speaker names shown so far belong to it: its version is stored without them.
    setSpeakers({});
    if (road->source) {
      createVersionOfRun(road->source, *result, road->ran, road->limits);
      if (road->source->group()) m_deps.settings->setLastUsedGroupId(road->source->group()->id());
    }
  }
  afterThisTurn([this, road, result] {
    showRoadResult(road, *result);
    afterThisTurn([this, road] {
      loadAudioForPlayback(road->isReprocess ? (m_mediaSource && m_mediaSource->isYouTubeVideo())
                                             : road->youtubeVideoId.has_value());
      endRun();
    });
  });
}

void TranscriptionViewModel::afterThisTurn(std::function<void()> step) {
  // A zero-interval timer rather than a queued call: queued calls run before the timers and the
  // input that came due meanwhile, so two steps queued one after the other would still hold the
  // window as long as both together.
  auto* timer = new QTimer(this);
  timer->setSingleShot(true);
  connect(timer, &QTimer::timeout, this, [timer, step = std::move(step)] {
    timer->deleteLater();
    step();
  });
  timer->start(0);
}

void TranscriptionViewModel::showRoadResult(const std::shared_ptr<Road>& road, const TranscriptionResult& result) {
  setState(ProcessingState::completed(result));
  if (road->speakerDetectionFailure) {
    m_statusNote = "speaker detection failed: " + *road->speakerDetectionFailure;
    emit stateChanged();
  }
  initializeSpeakersFromResult();
  addLog(QString("%1 completed: %2 segments, %3 speakers")
             .arg(road->isReprocess ? "Re-processing" : "Transcription")
             .arg(result.segments.size())
             .arg(result.speakerCount()));
  const double speed = result.processingTime() > 0 ? road->duration / result.processingTime() : 0.0;
  addLog(QString("Processing time: %1s (RTF: %2x)").arg(formatFixed1(result.processingTime()), formatFixed1(speed)));
}

void TranscriptionViewModel::cacheSamplesInBackground(const std::shared_ptr<const std::vector<float>>& samples,
                                                      AudioSource* source,
                                                      std::shared_ptr<const voxtrellis::SoundPlaces> places) {
  auto cache = m_deps.sampleCache;
  const QUuid id = source->id();
  QPointer<AudioSource> target(source);
  m_samplesBeingCached.insert(id, {samples, places});
  runJob<QString>(
      m_jobs, this,
      [cache, samples, id, places, stop = m_jobs.stopToken()] {
        return cache->cacheSamples(*samples, id, stop, places.get());
      },
      [this, target, samples, id](JobResult<QString> written) {
        if (m_samplesBeingCached.value(id).samples == samples) m_samplesBeingCached.remove(id);
        if (!written.value) {
          // Re-processing and re-transcribing a segment need them later: the user is told why they
          // will not be there. A write stopped as the application ends is no failure.
          if (!isStopped(written.exception)) addLog("Audio samples could not be cached: " + written.error);
          return;
        }
        addLog("Audio samples cached to disk");
        if (!target || target->isDeleted()) return;
        target->setCachedSamplesPath(*written.value);
        if (m_modelContext) {
          try {
            m_modelContext->save();
          } catch (const StoreError&) {
            // Kept in the context; the next save writes it.
          }
        }
      });
}

// ---- re-processing ---------------------------------------------------------------

void TranscriptionViewModel::reprocess() {
  if (!m_cachedSamples || !m_cachedDuration) {
    addLog("No cached audio to reprocess");
    return;
  }
  if (!isReady() || m_busy) {
    addLog("Cannot reprocess - system busy");
    return;
  }
  if (!modelsLoaded()) {
    addLog("Models not initialized");
    return;
  }
  // What was typed and edited goes to the store before the run: a run that fails, or a quit
  // while it runs, must not take it with it. A run that ends replaces the version all the same.
  commitOpenEdit();
  saveIfNeeded();
  // Busy from here on: nothing else starts while the diarizer is rebuilt.
  beginRun();
  auto road = std::make_shared<Road>();
  road->generation = m_generation;
  road->isReprocess = true;
  road->samples = m_cachedSamples;
  road->duration = *m_cachedDuration;
  road->target = m_currentTranscription;
  road->wanted = currentChoice();
  road->limits = SubtitleLimits{m_maxSubtitleChars, m_maxSubtitleDuration};
  rebuildDiarizer(road->wanted, [this, road] {
    if (m_generation != road->generation) return;
    addLog("Re-processing with new settings...");
    road->clock.start();
    recognizeForRoad(road);
  });
}

void TranscriptionViewModel::writeReprocessedVersion(const std::shared_ptr<Road>& road,
                                                     const TranscriptionResult& result) {
  Transcription* version = road->target;
  if (!version || version->isDeleted() || !m_modelContext) return;
  version->setProcessingTime(result.processingTime());
  version->setPreset(road->ran.preset);
  version->setCustomThreshold(road->ran.customThreshold);
  version->setMinSpeakers(road->ran.minSpeakers);
  version->setMaxSubtitleChars(road->limits.maxChars);
  version->setMaxSubtitleDuration(road->limits.maxDuration);
  m_modelContext->updateSegments(version, result, m_segmentEdits);
  for (StoredSpeaker* speaker : QList<StoredSpeaker*>(version->speakers())) m_modelContext->remove(speaker);
  try {
    m_modelContext->save();
    setHasUnsavedChanges(false);
    setLastSaveTime(QDateTime::currentDateTime());
    addLog("Saved reprocessed transcription");
  } catch (const StoreError& error) {
    // The rewritten version stays in the context; the next save (autosave included) writes it.
    addLog("Failed to save: " + error.localizedDescription());
    noteSaveFailed(error.localizedDescription(), version->audioSource());
  }
}

// ---- store look-ups ----------------------------------------------------------------

TranscriptGroup* TranscriptionViewModel::getLastUsedGroup() {
  if (!m_modelContext) return nullptr;
  if (const auto id = m_deps.settings->lastUsedGroupId()) {
    if (auto* group = m_modelContext->find<TranscriptGroup>(*id)) return group;
  }
  const auto groups = m_modelContext->fetch<TranscriptGroup>(
      {}, [](const TranscriptGroup* a, const TranscriptGroup* b) { return a->sortOrder() < b->sortOrder(); });
  return groups.isEmpty() ? nullptr : groups.first();
}

AudioSource* TranscriptionViewModel::getOrCreateAudioSource(const QUrl& url, double duration, TranscriptGroup* group,
                                                            const std::optional<QString>& youtubeVideoId,
                                                            const std::optional<QString>& youtubeOriginalURL,
                                                            QString* failure) {
  if (!m_modelContext) {
    addLog("Cannot create audio source: no model context");
    return nullptr;
  }
  const QString path = url.toLocalFile();
  const auto matches =
      m_modelContext->fetch<AudioSource>([&](const AudioSource* source) { return source->originalPath() == path; });
  if (!matches.isEmpty()) {
    AudioSource* source = matches.first();
    if (youtubeVideoId) {
      source->setYoutubeVideoId(youtubeVideoId);
      source->setYoutubeOriginalURL(youtubeOriginalURL);
      try {
        m_modelContext->save();
      } catch (const StoreError&) {
      }
      addLog("Updated existing audio source with YouTube info: " + *youtubeVideoId);
    }
    setCurrentAudioSource(source);
    return source;
  }
  auto* source =
      new AudioSource(path, QFileInfo(path).fileName(), duration, std::nullopt, youtubeVideoId, youtubeOriginalURL);
  source->createBookmark(url);
  group->appendAudioSource(source);
  m_modelContext->insert(source);
  try {
    m_modelContext->save();
  } catch (const StoreError& error) {
    addLog("Failed to create audio source: " + error.localizedDescription());
    m_modelContext->remove(source);  // a failed save must not leave it for the next one
    if (failure) *failure = error.localizedDescription();
    return nullptr;
  }
  setCurrentAudioSource(source);
  addLog("Created audio source: " + QFileInfo(path).fileName());
  return source;
}

void TranscriptionViewModel::createAndSaveTranscription(AudioSource* source, const TranscriptionResult& result,
                                                        const std::optional<QString>& name) {
  createVersionOfRun(source, result, currentChoice(), SubtitleLimits{m_maxSubtitleChars, m_maxSubtitleDuration}, name);
}

void TranscriptionViewModel::createVersionOfRun(AudioSource* source, const TranscriptionResult& result,
                                                const DiarizerChoice& choice, const SubtitleLimits& limits,
                                                const std::optional<QString>& name) {
  if (!m_modelContext) {
    addLog("Cannot save: no model context");
    return;
  }
  Transcription* version = storeNewVersion(source, name, result.processingTime(), result, choice, limits,
                                           "Failed to create transcription: ", OnSaveFailure::keepUnsaved);
  if (version && !m_hasUnsavedChanges) addLog("Created transcription: " + version->name());
}

void TranscriptionViewModel::initializeSpeakersFromResult() {
  const TranscriptionResult* result = m_state.result();
  if (!result) return;
  std::set<qint64> ids;
  for (const auto& segment : result->segments) ids.insert(segment.speakerId);
  QList<Speaker> speakers;
  for (qint64 id : ids) speakers.append(Speaker(id));
  setSpeakers(speakers);
  addLog(QString("Initialized %1 speakers from result").arg(speakers.size()));
}

}  // namespace parlowvista
