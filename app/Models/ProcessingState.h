#pragma once

#include "Models/TranscriptionResult.h"

#include <QList>
#include <QString>
#include <optional>
#include <variant>

namespace parlowvista {

// The stages of one file's road; each value's text is the progress text shown to the user.
enum class ProcessingStage {
  downloadingFromURL,
  enhancingAudio,
  loadingAudio,
  transcribing,
  diarizing,
  merging,
  exporting,
};

// "Downloading from URL...", "Enhancing audio quality...", ... (three full stops each).
QString rawValue(ProcessingStage stage);
// Exact comparison with the texts; any other text gives nothing.
std::optional<ProcessingStage> processingStageFromRawValue(const QString& text);
const QList<ProcessingStage>& allProcessingStages();
size_t qHash(ProcessingStage stage, size_t seed = 0);

// What a failed run reports: the user-facing message and, optionally, the full description
// and what the user can do about it.
struct ErrorInfo {
  QString message;
  std::optional<QString> details;
  std::optional<QString> nextStep = std::nullopt;

  bool operator==(const ErrorInfo& other) const = default;
};

// What the main window's controller is doing. Two states are equal only when they are the
// same case with equal payloads (a completed result compares segment ids too).
class ProcessingState {
 public:
  enum class Kind { idle, loadingModels, modelsReady, processing, completed, failed };

  ProcessingState() = default;  // idle

  static ProcessingState idle() { return {}; }
  static ProcessingState loadingModels(double progress) { return ProcessingState(LoadingModels{progress}); }
  static ProcessingState modelsReady() { return ProcessingState(ModelsReady{}); }
  static ProcessingState processing(ProcessingStage stage) { return ProcessingState(stage); }
  static ProcessingState completed(TranscriptionResult result) { return ProcessingState(std::move(result)); }
  static ProcessingState failed(ErrorInfo error) { return ProcessingState(std::move(error)); }

  Kind kind() const { return Kind(m_value.index()); }

  // The payloads; nothing (or null) when the state is another case.
  std::optional<double> progress() const;
  std::optional<ProcessingStage> stage() const;
  const TranscriptionResult* result() const { return std::get_if<TranscriptionResult>(&m_value); }
  // The result inside `completed` is the one payload that is edited in place.
  TranscriptionResult* result() { return std::get_if<TranscriptionResult>(&m_value); }
  const ErrorInfo* error() const { return std::get_if<ErrorInfo>(&m_value); }

  bool operator==(const ProcessingState& other) const = default;

 private:
  struct Idle {
    bool operator==(const Idle&) const = default;
  };
  struct LoadingModels {
    double progress = 0;
    bool operator==(const LoadingModels&) const = default;
  };
  struct ModelsReady {
    bool operator==(const ModelsReady&) const = default;
  };
  using Value = std::variant<Idle, LoadingModels, ModelsReady, ProcessingStage, TranscriptionResult, ErrorInfo>;

  template <typename T>
  explicit ProcessingState(T value) : m_value(std::move(value)) {}

  Value m_value;
};

}  // namespace parlowvista
