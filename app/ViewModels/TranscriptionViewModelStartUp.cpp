// Model start-up and the diarization settings of TranscriptionViewModel.

#include "Models/AppSettings.h"
#include "Services/SpeechEngine.h"
#include "ViewModels/BackgroundJob.h"
#include "ViewModels/LogFormat.h"
#include "ViewModels/StartupFailure.h"
#include "ViewModels/TranscriptionViewModel.h"

namespace parlowvista {

// ---- model start-up ----------------------------------------------------------------

void TranscriptionViewModel::initializeModels() {
  if (m_state.kind() != ProcessingState::Kind::idle) return;
  addLog("Starting model initialization...");
  setState(ProcessingState::loadingModels(0));
  if (m_recognizer) {
    // A second start after a failed one: the recogniser is already loaded.
    prepareDiarizerForStartUp();
    return;
  }
  addLog("Downloading ASR models...");
  auto engine = m_deps.engine;
  auto alive = m_alive;
  QPointer<TranscriptionViewModel> self(this);
  runJob<std::shared_ptr<SpeechRecognizer>>(
      m_jobs, this,
      [engine, self, alive] {
        return engine->loadRecognizer([self, alive] {
          postToUi(alive, [self] {
            if (self) self->setState(ProcessingState::loadingModels(0.3));
          });
        });
      },
      [this](JobResult<std::shared_ptr<SpeechRecognizer>> loaded) {
        if (!loaded.value) {
          setState(ProcessingState::failed(modelStartupFailure(loaded.exception, loaded.details)));
          addLog("Failed to load models: " + loaded.error);
          return;
        }
        m_recognizer = *loaded.value;
        prepareDiarizerForStartUp();
      });
}

void TranscriptionViewModel::prepareDiarizerForStartUp() {
  setState(ProcessingState::loadingModels(0.5));
  addLog("Downloading diarization models...");
  const DiarizerChoice choice = currentChoice();
  const auto config = buildDiarizationConfig(choice.settings);
  auto engine = m_deps.engine;
  runJob<std::shared_ptr<SpeakerDiarizer>>(
      m_jobs, this, [engine, config] { return engine->prepareDiarizer(config); },
      [this, config, choice](JobResult<std::shared_ptr<SpeakerDiarizer>> prepared) {
        if (!prepared.value) {
          setState(ProcessingState::failed(modelStartupFailure(prepared.exception, prepared.details)));
          addLog("Failed to load models: " + prepared.error);
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
      m_jobs, this, [engine, config] { return engine->prepareDiarizer(config); },
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
