// Model start-up and the diarization settings of TranscriptionViewModel.

#include "Models/AppSettings.h"
#include "Services/SpeechEngine.h"
#include "ViewModels/BackgroundJob.h"
#include "ViewModels/LogFormat.h"
#include "ViewModels/TranscriptionViewModel.h"

namespace parlowvista {

// ---- model start-up ----------------------------------------------------------------

void TranscriptionViewModel::initializeModels() {
  if (m_state.kind() != ProcessingState::Kind::idle) return;
  addLog("Starting model initialization...");
  setState(ProcessingState::loadingModels(0));
  if (m_recognizer) {
    // A second start after a failed one: the recogniser is already loaded.
    prepareDiarizerForStartUp({});
    return;
  }
  addLog("Downloading ASR models...");
  auto engine = m_deps.engine;
  auto alive = m_alive;
  QPointer<TranscriptionViewModel> self(this);
  runJob<std::shared_ptr<SpeechRecognizer>>(
      m_jobs, this,
      [engine, self, alive, stop = m_jobs.stopToken()] {
        return engine->loadRecognizer(
            [self, alive] {
              postToUi(alive, [self] {
                if (self) self->setState(ProcessingState::loadingModels(0.3));
              });
            },
            stop);
      },
      [this](JobResult<std::shared_ptr<SpeechRecognizer>> loaded) {
        QList<ModelFailure> failures;
        if (loaded.value) {
          m_recognizer = *loaded.value;
        } else {
          addLog("Failed to load models: " + loaded.error);
          failures.append({loaded.exception, loaded.details});
        }
        // The speaker models are looked at even so: the screen names every file to mend at once.
        prepareDiarizerForStartUp(failures);
      });
}

void TranscriptionViewModel::prepareDiarizerForStartUp(QList<ModelFailure> failures) {
  setState(ProcessingState::loadingModels(0.5));
  addLog("Downloading diarization models...");
  const DiarizerChoice choice = currentChoice();
  const auto config = buildDiarizationConfig(choice.settings);
  auto engine = m_deps.engine;
  runJob<std::shared_ptr<SpeakerDiarizer>>(
      m_jobs, this, [engine, config, stop = m_jobs.stopToken()] { return engine->prepareDiarizer(config, stop); },
      [this, config, choice, failures](JobResult<std::shared_ptr<SpeakerDiarizer>> prepared) mutable {
        if (!prepared.value) failures.append({prepared.exception, prepared.details});
        if (!failures.isEmpty()) {
          setState(ProcessingState::failed(modelStartupFailure(failures)));
          if (!prepared.value) addLog("Failed to load models: " + prepared.error);
          return;
        }
        m_diarizer = *prepared.value;
        m_diarizerChoice = choice;
        setState(ProcessingState::loadingModels(1.0));
        addLog("Diarization config: threshold=" + shortestDouble(config.clustering.threshold) +
               ", preset=" + rawValue(choice.preset));
        setState(ProcessingState::modelsReady());
        addLog("Models loaded successfully");
      });
}

// ---- diarization settings -------------------------------------------------------

DiarizerChoice TranscriptionViewModel::currentChoice() const {
  return DiarizerChoice{m_diarizationPreset, m_customThreshold, m_minSpeakers,
                        DiarizationSettings::fromPreset(m_diarizationPreset, m_customThreshold, m_numSpeakers,
                                                        m_minSpeakers, m_maxSpeakers)};
}

voxtrellis::OfflineDiarizerConfig TranscriptionViewModel::buildDiarizationConfig() {
  return buildDiarizationConfig(currentChoice().settings);
}

voxtrellis::OfflineDiarizerConfig TranscriptionViewModel::buildDiarizationConfig(const DiarizationSettings& settings) {
  const auto config = settings.toOfflineConfig();
  addLog("Diarization config built:");
  addLog("  threshold=" + shortestDouble(config.clustering.threshold));
  addLog("  numSpeakers=" + countOrMinusOne(settings.numSpeakers));
  addLog("  minSpeakers=" + countOrMinusOne(settings.minSpeakers));
  addLog("  maxSpeakers=" + countOrMinusOne(settings.maxSpeakers));
  addLog("  warmStartFa=" + shortestDouble(settings.warmStartFa));
  addLog("  warmStartFb=" + shortestDouble(settings.warmStartFb));
  return config;
}

void TranscriptionViewModel::updateDiarizationSettings() {
  if (!isReady() || !beginRun()) return;
  rebuildDiarizer(currentChoice(), [this] { endRun(); });
}

void TranscriptionViewModel::rebuildDiarizer(const DiarizerChoice& choice, std::function<void()> then) {
  addLog("Updating diarization settings...");
  const auto config = buildDiarizationConfig(choice.settings);
  auto engine = m_deps.engine;
  runJob<std::shared_ptr<SpeakerDiarizer>>(
      m_jobs, this, [engine, config, stop = m_jobs.stopToken()] { return engine->prepareDiarizer(config, stop); },
      [this, config, choice, then](JobResult<std::shared_ptr<SpeakerDiarizer>> prepared) {
        if (prepared.value) {
          m_diarizer = *prepared.value;
          m_diarizerChoice = choice;
          addLog("Diarization config updated: threshold=" + shortestDouble(config.clustering.threshold) +
                 ", preset=" + rawValue(choice.preset));
        } else {
          addLog("Failed to update diarization settings: " + prepared.error);
        }
        then();
      });
}

}  // namespace parlowvista
