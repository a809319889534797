#include "Services/Translation/TranslationService.h"

#include "Services/Translation/TranslationFormat.h"
#include "Services/Translation/TranslationProviderFactory.h"
#include "Services/Translation/TranslationSettings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QPointer>
#include <QTimer>

namespace parlowvista {

TranslationService::TranslationService(TranslationSettings& settings, const ProviderEndpoints& endpoints,
                                       QObject* parent)
    : QObject(parent), m_settings(settings), m_endpoints(endpoints) {}

TranslationService::~TranslationService() {
  for (Run& run : m_runs) {
    if (run.provider) {
      run.provider->cancel();
      delete run.provider;
    }
  }
}

void TranslationService::checkAvailability(std::function<void(bool)> done) {
  QTimer::singleShot(0, this, [this, done = std::move(done)] {
    const std::unique_ptr<TranslationProviderProtocol> provider = TranslationProviderFactory::createProvider(
        m_settings.selectedProvider(), m_settings.connectionMode(), m_settings, m_endpoints);
    const bool available = provider->checkAvailability();
    if (done) done(available);
  });
}

void TranslationService::translate(const QList<TranscribedSegment>& segments,
                                   const std::optional<QString>& targetLanguage,
                                   const std::optional<QString>& sourceLanguage, Completion done) {
  cancel();
  setTranslating(true);
  setProgress(0);
  setStatusMessage(QStringLiteral("Preparing translation..."));
  setLastError(std::nullopt);

  Run run;
  run.id = m_nextRunId++;
  run.clock.start();
  run.segments = segments;
  run.targetLanguage = targetLanguage.value_or(m_settings.defaultTargetLanguage());
  run.sourceLanguage = sourceLanguage;
  run.model = m_settings.selectedModel();
  run.done = std::move(done);
  const quint64 id = run.id;
  m_runs.insert(id, std::move(run));
  m_currentRun = id;
  // Started from the event loop, like a task: the caller returns first.
  QTimer::singleShot(0, this, [this, id] { startRun(id); });
}

void TranslationService::startRun(quint64 id) {
  auto it = m_runs.find(id);
  if (it == m_runs.end()) return;
  if (it->cancelled) return completeRun(id, {std::nullopt, TranslationError::cancelled()});

  TranslationProviderProtocol* provider =
      TranslationProviderFactory::createProvider(m_settings.selectedProvider(), m_settings.connectionMode(), m_settings,
                                                 m_endpoints)
          .release();
  provider->setParent(this);
  it->provider = provider;
  if (!provider->checkAvailability()) return completeRun(id, {std::nullopt, TranslationError::providerNotConfigured()});
  // The availability check may run an event loop (keychain); look the run up again.
  it = m_runs.find(id);
  if (it == m_runs.end()) return;
  if (it->cancelled) return completeRun(id, {std::nullopt, TranslationError::cancelled()});

  QPointer<TranslationService> self(this);
  provider->translate(
      it->segments, it->targetLanguage, it->sourceLanguage, it->model,
      [self, id](double fraction, const QString& status) {
        if (!self) return;
        QMetaObject::invokeMethod(
            self.data(),
            [self, id, fraction, status] {
              if (self) self->applyProgress(id, fraction, status);
            },
            Qt::QueuedConnection);
      },
      [self, id](const ProviderOutcome& outcome) {
        if (!self) return;
        // Handled from the event loop: a provider may answer from inside
        // cancel(), which must publish "Cancelled" first.
        QMetaObject::invokeMethod(
            self.data(),
            [self, id, outcome] {
              if (!self) return;
              auto runIt = self->m_runs.find(id);
              if (runIt == self->m_runs.end()) return;
              // A run cancelled before its answer is handled ends cancelled, whatever it says.
              if (runIt->cancelled) return self->completeRun(id, {std::nullopt, TranslationError::cancelled()});
              if (outcome.succeeded()) {
                TranslationResult result;
                result.segments = outcome.segments;
                result.untranslatedCount = outcome.untranslatedCount;
                result.targetLanguage = runIt->targetLanguage;
                result.sourceLanguage = runIt->sourceLanguage;
                result.provider = self->m_settings.selectedProvider();
                result.model = runIt->model;
                result.processingTime = static_cast<double>(runIt->clock.nsecsElapsed()) / 1e9;
                return self->completeRun(id, {result, std::nullopt});
              }
              if (outcome.error) return self->completeRun(id, {std::nullopt, *outcome.error});
              if (outcome.cancelled) return self->completeRun(id, {std::nullopt, TranslationError::cancelled()});
              self->completeRun(id, {std::nullopt, TranslationError::translationFailed(*outcome.platformFailure)});
            },
            Qt::QueuedConnection);
      });
}

void TranslationService::applyProgress(quint64 id, double fraction, const QString& status) {
  if (!m_runs.contains(id) || !mayPublish(id)) return;
  setProgress(fraction);
  setStatusMessage(status);
}

void TranslationService::completeRun(quint64 id, const TranslationOutcome& outcome) {
  auto it = m_runs.find(id);
  if (it == m_runs.end()) return;
  Run run = std::move(*it);
  m_runs.erase(it);
  if (run.provider) run.provider->deleteLater();

  if (outcome.result && outcome.result->untranslatedCount > 0) {
    qWarning().noquote() << QStringLiteral(
                                "[TranslationService] %1 of %2 segments came back without a translation and keep "
                                "their original text")
                                .arg(outcome.result->untranslatedCount)
                                .arg(outcome.result->segments.size());
  }
  if (mayPublish(id)) {
    if (outcome.result) {
      m_lastResult = outcome.result;
      emit lastResultChanged();
      setTranslating(false);
      setProgress(1.0);
      setStatusMessage(translationCompleteMessage(outcome.result->untranslatedCount, outcome.result->segments.size()));
    } else {
      setTranslating(false);
      setLastError(outcome.error);
    }
  }
  if (run.done) run.done(outcome);
}

void TranslationService::cancel() {
  if (m_currentRun != 0) {
    const quint64 id = m_currentRun;
    m_currentRun = 0;
    auto it = m_runs.find(id);
    if (it != m_runs.end()) {
      it->cancelled = true;
      if (it->provider) it->provider->cancel();
    }
  }
  if (m_isTranslating) {
    setTranslating(false);
    setProgress(0);
    setStatusMessage(QStringLiteral("Cancelled"));
  }
}

void TranslationService::setTranslating(bool translating) {
  m_isTranslating = translating;
  emit isTranslatingChanged(translating);
}

void TranslationService::setProgress(double progress) {
  m_progress = progress;
  emit progressChanged(progress);
}

void TranslationService::setStatusMessage(const QString& status) {
  m_statusMessage = status;
  emit statusMessageChanged(status);
}

void TranslationService::setLastError(const std::optional<TranslationError>& error) {
  m_lastError = error;
  emit lastErrorChanged();
}

}  // namespace parlowvista
