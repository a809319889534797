#pragma once

#include "Models/TranscribedSegment.h"
#include "Models/TranslationResult.h"
#include "Services/Translation/TranslationError.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace parlowvista {

class TranslationProviderProtocol;
class TranslationSettings;
struct ProviderEndpoints;

// How one translate() call ended: a result or a TranslationError.
struct TranslationOutcome {
  std::optional<TranslationResult> result;
  std::optional<TranslationError> error;
};

// Runs one translation at a time through the selected provider, publishes its
// progress and status for the windows, and turns every failure into a
// TranslationError. Belongs to the UI thread; never blocks it while a
// provider works.
class TranslationService : public QObject {
  Q_OBJECT
 public:
  using Completion = std::function<void(const TranslationOutcome&)>;

  // `settings` and `endpoints` outlive the service. Destroying the service stops the
  // translation in flight: its request is aborted, its command-line tool killed.
  TranslationService(TranslationSettings& settings, const ProviderEndpoints& endpoints, QObject* parent = nullptr);
  ~TranslationService() override;

  bool isTranslating() const { return m_isTranslating; }
  double progress() const { return m_progress; }
  const QString& statusMessage() const { return m_statusMessage; }
  const std::optional<TranslationResult>& lastResult() const { return m_lastResult; }
  const std::optional<TranslationError>& lastError() const { return m_lastError; }
  TranslationSettings& settings() const { return m_settings; }

  // Whether the selected provider can run in the selected mode (a key item is
  // stored, or its tool is found). Nothing is sent to the provider. `done`
  // runs later on the UI thread.
  void checkAvailability(std::function<void(bool)> done);

  // Cancels any translation in flight, then translates the segments into
  // `targetLanguage` (the settings' default when absent) with the selected
  // provider, mode and model. `done` runs exactly once, later, with the result
  // or the error; a superseded run still reports to its own caller.
  void translate(const QList<TranscribedSegment>& segments, const std::optional<QString>& targetLanguage,
                 const std::optional<QString>& sourceLanguage, Completion done);

  // Stops the translation in flight (request aborted, tool killed); its
  // caller then gets `cancelled`. Publishes "Cancelled" only while one runs.
  void cancel();

 signals:
  void isTranslatingChanged(bool translating);
  void progressChanged(double progress);
  void statusMessageChanged(const QString& status);
  void lastResultChanged();
  void lastErrorChanged();

 private:
  struct Run {
    quint64 id = 0;
    QList<TranscribedSegment> segments;
    QString targetLanguage;
    std::optional<QString> sourceLanguage;
    QString model;
    QElapsedTimer clock;
    Completion done;
    TranslationProviderProtocol* provider = nullptr;
    bool cancelled = false;
  };

  void startRun(quint64 id);
  void applyProgress(quint64 id, double fraction, const QString& status);
  void completeRun(quint64 id, const TranslationOutcome& outcome);
  // A run publishes unless a newer run has taken its place.
  bool mayPublish(quint64 id) const { return m_currentRun == 0 || m_currentRun == id; }

  void setTranslating(bool translating);
  void setProgress(double progress);
  void setStatusMessage(const QString& status);
  void setLastError(const std::optional<TranslationError>& error);

  TranslationSettings& m_settings;
  const ProviderEndpoints& m_endpoints;
  bool m_isTranslating = false;
  double m_progress = 0;
  QString m_statusMessage;
  std::optional<TranslationResult> m_lastResult;
  std::optional<TranslationError> m_lastError;

  QHash<quint64, Run> m_runs;
  quint64 m_currentRun = 0;
  quint64 m_nextRunId = 1;
};

}  // namespace parlowvista
