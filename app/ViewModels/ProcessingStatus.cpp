#include "ViewModels/ProcessingStatus.h"

#include <algorithm>

namespace parlowvista {

namespace {

// The stages in the order a run takes them: the enhancer filters the samples the loader read.
double stageShare(ProcessingStage stage) {
  switch (stage) {
    case ProcessingStage::downloadingFromURL: return 0;
    case ProcessingStage::loadingAudio: return 0.05;
    case ProcessingStage::enhancingAudio: return 0.35;
    case ProcessingStage::transcribing: return 0.45;
    case ProcessingStage::diarizing: return 0.75;
    case ProcessingStage::merging: return 0.90;
    case ProcessingStage::exporting: return 0.95;
  }
  return 0;
}

// Where the stage after `stage` begins.
double stageEnd(ProcessingStage stage) {
  switch (stage) {
    case ProcessingStage::downloadingFromURL: return stageShare(ProcessingStage::loadingAudio);
    case ProcessingStage::loadingAudio: return stageShare(ProcessingStage::enhancingAudio);
    case ProcessingStage::enhancingAudio: return stageShare(ProcessingStage::transcribing);
    case ProcessingStage::transcribing: return stageShare(ProcessingStage::diarizing);
    case ProcessingStage::diarizing: return stageShare(ProcessingStage::merging);
    case ProcessingStage::merging: return stageShare(ProcessingStage::exporting);
    case ProcessingStage::exporting: return 1.0;
  }
  return 1.0;
}

}  // namespace

double progressFor(const ProcessingState& state, double withinStage) {
  switch (state.kind()) {
    case ProcessingState::Kind::idle:
    case ProcessingState::Kind::failed: return 0.0;
    case ProcessingState::Kind::loadingModels: return *state.progress() * 0.3;
    case ProcessingState::Kind::modelsReady: return 0.3;
    case ProcessingState::Kind::processing: {
      const ProcessingStage stage = *state.stage();
      const double start = stageShare(stage);
      return 0.3 + 0.7 * (start + std::clamp(withinStage, 0.0, 1.0) * (stageEnd(stage) - start));
    }
    case ProcessingState::Kind::completed: return 1.0;
  }
  return 0.0;
}

QString statusMessageFor(const ProcessingState& state) {
  switch (state.kind()) {
    case ProcessingState::Kind::idle: return "Ready to transcribe";
    case ProcessingState::Kind::loadingModels: return "Loading AI models...";
    case ProcessingState::Kind::modelsReady: return "Models ready. Drop an audio file to begin.";
    case ProcessingState::Kind::processing: return rawValue(*state.stage());
    case ProcessingState::Kind::completed: return "Transcription complete";
    case ProcessingState::Kind::failed: return "Error: " + state.error()->message;
  }
  return {};
}

}  // namespace parlowvista
