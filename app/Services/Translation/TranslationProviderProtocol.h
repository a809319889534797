#pragma once

#include "Models/TranscribedSegment.h"
#include "Models/TranslatedSegment.h"
#include "Models/TranslationProviderType.h"
#include "Services/Translation/TranslationError.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace parlowvista {

// Called with a fraction from 0 to 1 and a status text, on the UI thread.
using TranslationProgressHandler = std::function<void(double fraction, const QString& status)>;

// How a provider's translate() ended. A failure is either a TranslationError
// the provider raised itself, or a platform failure (transport error, time-out
// of a request, cancellation) handed on unchanged for the service to map.
struct ProviderOutcome {
  QList<TranslatedSegment> segments;
  // Segments the provider had no answer for; they keep their original text.
  qsizetype untranslatedCount = 0;
  std::optional<TranslationError> error;
  std::optional<QString> platformFailure;
  bool cancelled = false;

  bool succeeded() const { return !error && !platformFailure; }

  static ProviderOutcome success(QList<TranslatedSegment> segments, qsizetype untranslatedCount = 0);
  static ProviderOutcome failure(TranslationError error);
  static ProviderOutcome platform(QString description, bool cancelled = false);
};

// What every translation provider offers. Providers live on the UI thread and
// never block it for network or child-process work: translate() returns at
// once and reports through its completion. One translate() at a time per
// provider object; the factory makes a fresh provider for every request.
class TranslationProviderProtocol : public QObject {
  Q_OBJECT
 public:
  using Completion = std::function<void(const ProviderOutcome&)>;

  using QObject::QObject;
  ~TranslationProviderProtocol() override = default;

  virtual TranslationProviderType providerType() const = 0;

  // Whether the provider can run in its mode: its tool is found (CLI) or a key
  // item is stored for it (API). The key is neither sent nor validated.
  virtual bool checkAvailability() = 0;

  // Translates the segments batch by batch. `done` runs exactly once, later;
  // no failure keeps partial results. `model` absent means the provider's
  // default model (the command-line roads ignore it).
  virtual void translate(const QList<TranscribedSegment>& segments, const QString& targetLanguage,
                         const std::optional<QString>& sourceLanguage, const std::optional<QString>& model,
                         TranslationProgressHandler progressHandler, Completion done) = 0;

  // Stops the translation in flight: aborts the request, kills the tool or
  // cuts the pause short. Its completion then reports a cancellation.
  virtual void cancel() = 0;
};

}  // namespace parlowvista
