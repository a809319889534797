#include "Models/ProcessingState.h"

#include <QHash>

namespace parlowvista {

QString rawValue(ProcessingStage stage) {
  switch (stage) {
    case ProcessingStage::downloadingFromURL: return QStringLiteral("Downloading from URL...");
    case ProcessingStage::enhancingAudio: return QStringLiteral("Enhancing audio quality...");
    case ProcessingStage::loadingAudio: return QStringLiteral("Loading audio file...");
    case ProcessingStage::transcribing: return QStringLiteral("Transcribing speech...");
    case ProcessingStage::diarizing: return QStringLiteral("Identifying speakers...");
    case ProcessingStage::merging: return QStringLiteral("Combining results...");
    case ProcessingStage::exporting: return QStringLiteral("Exporting...");
  }
  return {};
}

std::optional<ProcessingStage> processingStageFromRawValue(const QString& text) {
  for (auto stage : allProcessingStages()) {
    if (rawValue(stage) == text) return stage;
  }
  return std::nullopt;
}

const QList<ProcessingStage>& allProcessingStages() {
  static const QList<ProcessingStage> all{
      ProcessingStage::downloadingFromURL, ProcessingStage::enhancingAudio, ProcessingStage::loadingAudio,
      ProcessingStage::transcribing,       ProcessingStage::diarizing,      ProcessingStage::merging,
      ProcessingStage::exporting,
  };
  return all;
}

size_t qHash(ProcessingStage stage, size_t seed) {
  return qHash(rawValue(stage), seed);
}

std::optional<double> ProcessingState::progress() const {
  if (const auto* loading = std::get_if<LoadingModels>(&m_value)) return loading->progress;
  return std::nullopt;
}

std::optional<ProcessingStage> ProcessingState::stage() const {
  if (const auto* stage = std::get_if<ProcessingStage>(&m_value)) return *stage;
  return std::nullopt;
}

}  // namespace parlowvista
