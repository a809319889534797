#include "Services/Translation/BatchedTranslationProvider.h"

#include "Services/KeychainService.h"
#include "Services/ProcessRunner.h"
#include "Services/Translation/ProviderEndpoints.h"
#include "Services/Translation/TranslationFormat.h"
#include "Services/Translation/TranslationSettings.h"

#include <QDebug>

namespace parlowvista {

QList<QList<TranscribedSegment>> chunked(const QList<TranscribedSegment>& segments, qsizetype size) {
  QList<QList<TranscribedSegment>> pieces;
  if (size < 1) size = 1;
  for (qsizetype start = 0; start < segments.size(); start += size) pieces.append(segments.mid(start, size));
  return pieces;
}

BatchedTranslationProvider::BatchedTranslationProvider(TranslationProviderType type, TranslationSettings& settings,
                                                       const ProviderEndpoints& endpoints,
                                                       TranslationConnectionMode mode, QObject* parent)
    : TranslationProviderProtocol(parent),
      m_providerType(type),
      m_settings(settings),
      m_endpoints(endpoints),
      m_connectionMode(mode) {
  m_pause.setSingleShot(true);
  connect(&m_pause, &QTimer::timeout, this, &BatchedTranslationProvider::runNextBatch);
}

BatchedTranslationProvider::~BatchedTranslationProvider() {
  // Whatever is still running ends without calling back into a dead object.
  m_done = nullptr;
  m_progress = nullptr;
}

bool BatchedTranslationProvider::checkAvailability() {
  if (m_connectionMode == TranslationConnectionMode::cli) return findCli().has_value();
  return m_settings.keychain().exists(KeychainService::apiKeyAccount(m_providerType));
}

void BatchedTranslationProvider::translate(const QList<TranscribedSegment>& segments, const QString& targetLanguage,
                                           const std::optional<QString>& sourceLanguage,
                                           const std::optional<QString>& model,
                                           TranslationProgressHandler progressHandler, Completion done) {
  if (m_busy) {
    QTimer::singleShot(0, this, [done] {
      if (done)
        done(ProviderOutcome::failure(
            TranslationError::translationFailed(QStringLiteral("A translation is already running"))));
    });
    return;
  }
  m_busy = true;
  m_cancelRequested = false;
  m_done = std::move(done);
  m_progress = std::move(progressHandler);
  m_targetLanguage = targetLanguage;
  m_sourceLanguage = sourceLanguage;
  m_results.clear();
  m_untranslated = 0;

  if (m_connectionMode == TranslationConnectionMode::api) {
    m_model = model.value_or(defaultModel(m_providerType));
    const std::optional<QString> key = m_settings.keychain().get(KeychainService::apiKeyAccount(m_providerType));
    if (!key) return finishLater(ProviderOutcome::failure(TranslationError::apiKeyMissing()));
    m_apiKey = *key;
  } else {
    const std::optional<QString> path = findCli();
    if (!path) return finishLater(ProviderOutcome::failure(TranslationError::cliNotFound(cliToolName())));
    m_cliPath = *path;
  }
  startBatches(segments);
}

void BatchedTranslationProvider::cancel() {
  if (!m_busy) return;
  if (m_http && m_http->isRunning()) return m_http->abort();
  if (m_cli && m_cli->isRunning()) return m_cli->cancel();
  if (m_pause.isActive()) {
    m_pause.stop();
    return finish(ProviderOutcome::platform(QStringLiteral("cancelled"), true));
  }
  // Between two steps (a progress report, the key read): the next step ends
  // the run instead of starting.
  m_cancelRequested = true;
}

void BatchedTranslationProvider::startBatches(const QList<TranscribedSegment>& segments) {
  const int batchSize = m_settings.batchSize();
  m_batches.clear();
  if (batchSize < 1) {
    m_batches.append(segments);
  } else {
    m_batches = chunked(segments, batchSize);
  }
  m_nextBatch = 0;
  if (m_batches.isEmpty()) {
    report(1.0, QStringLiteral("Translation complete"));
    return finishLater(ProviderOutcome::success({}));
  }
  runNextBatch();
}

void BatchedTranslationProvider::runNextBatch() {
  if (m_cancelRequested) return finishLater(ProviderOutcome::platform(QStringLiteral("cancelled"), true));
  const qsizetype count = m_batches.size();
  if (m_nextBatch >= count) {
    report(1.0, translationCompleteMessage(m_untranslated, m_results.size()));
    return finish(ProviderOutcome::success(m_results, m_untranslated));
  }
  const qsizetype index = m_nextBatch;
  const bool viaApi = m_connectionMode == TranslationConnectionMode::api;
  report(static_cast<double>(index) / static_cast<double>(count),
         QStringLiteral("%1%2/%3...")
             .arg(viaApi ? QStringLiteral("Translating batch ") : QStringLiteral("Translating via CLI batch "))
             .arg(index + 1)
             .arg(count));
  if (m_cancelRequested) return finishLater(ProviderOutcome::platform(QStringLiteral("cancelled"), true));
  const QList<TranscribedSegment>& batch = m_batches[index];
  const QString prompt = buildTranslationPrompt(batch, m_targetLanguage, m_sourceLanguage);
  if (viaApi) {
    sendApiBatch(batch, prompt);
  } else {
    runCliBatch(batch, prompt);
  }
}

void BatchedTranslationProvider::sendApiBatch(const QList<TranscribedSegment>& batch, const QString& prompt) {
  ApiRequest request;
  try {
    request = makeApiRequest(prompt, m_model, m_apiKey);
  } catch (const TranslationError& error) {
    return finishLater(ProviderOutcome::failure(error));
  }
  if (!m_http) m_http = new ProviderHttpCall(this);
  const ProviderEndpoints& endpoints = m_endpoints;
  const ProviderHttpCall::Limits limits{endpoints.requestTimeoutMs, endpoints.requestDeadlineMs,
                                        endpoints.maxReplyBytes};
  m_http->post(request.url, request.headers, request.body, limits, [this, batch](const HttpExchange& exchange) {
    if (exchange.cancelled) return finish(ProviderOutcome::platform(exchange.transportError, true));
    if (exchange.tooLarge)
      return finish(ProviderOutcome::failure(TranslationError::invalidResponse(exchange.transportError)));
    // Transport failures are the platform's own errors, handed on unchanged.
    if (!exchange.isHttpResponse && !exchange.transportError.isEmpty())
      return finish(ProviderOutcome::platform(exchange.transportError));
    try {
      batchSucceeded(judgeResponse(exchange, batch), batch);
    } catch (const TranslationError& error) {
      finish(ProviderOutcome::failure(error));
    }
  });
}

void BatchedTranslationProvider::runCliBatch(const QList<TranscribedSegment>& batch, const QString& prompt) {
  if (!m_cli) m_cli = new ProcessRunner(this);
  const int timeoutMs = m_endpoints.cliTimeoutMs;
  ProcessRequest request;
  request.program = m_cliPath;
  request.arguments = cliArguments(prompt);
  request.timeoutMs = timeoutMs;
  m_cli->start(std::move(request), [this, batch, timeoutMs](const ProcessOutcome& outcome) {
    switch (outcome.kind) {
      case ProcessOutcome::Kind::failedToStart:
        return finish(ProviderOutcome::failure(TranslationError::translationFailed(outcome.startError)));
      case ProcessOutcome::Kind::timedOut:
        return finish(ProviderOutcome::failure(
            TranslationError::translationFailed(QStringLiteral("%1 CLI did not answer within %2 seconds")
                                                    .arg(cliToolName())
                                                    .arg(static_cast<double>(timeoutMs) / 1000.0))));
      case ProcessOutcome::Kind::cancelled: return finish(ProviderOutcome::platform(QStringLiteral("cancelled"), true));
      case ProcessOutcome::Kind::exited: break;
    }
    if (outcome.exitCode != 0) {
      const std::optional<QString> message = decodeToolOutput(outcome.standardError);
      return finish(
          ProviderOutcome::failure(TranslationError::translationFailed(message.value_or(QStringLiteral("CLI error")))));
    }
    const std::optional<QString> text = decodeToolOutput(outcome.standardOutput);
    if (!text)
      return finish(ProviderOutcome::failure(TranslationError::invalidResponse(QStringLiteral("Invalid CLI output"))));
    try {
      batchSucceeded(parseReply(*text, batch, m_targetLanguage), batch);
    } catch (const TranslationError& error) {
      finish(ProviderOutcome::failure(error));
    }
  });
}

void BatchedTranslationProvider::batchSucceeded(const QList<TranslatedSegment>& answers,
                                                const QList<TranscribedSegment>& batch) {
  // A segment the reply left out keeps its original text rather than vanishing from the result.
  const BatchTranslation translation = completeBatchTranslation(answers, batch, m_targetLanguage);
  m_results.append(translation.segments);
  m_untranslated += translation.untranslated;
  ++m_nextBatch;
  const bool more = m_nextBatch < m_batches.size();
  if (more && m_connectionMode == TranslationConnectionMode::api) {
    m_pause.start(m_endpoints.batchPauseMs);
  } else {
    runNextBatch();
  }
}

QList<TranslatedSegment> BatchedTranslationProvider::judgeResponse(const HttpExchange& exchange,
                                                                   const QList<TranscribedSegment>& batch) const {
  if (!exchange.isHttpResponse) throw TranslationError::invalidResponse(QStringLiteral("Not an HTTP response"));
  const int status = exchange.statusCode;
  const StatusRules rules = statusRules();
  if (status == 200) return parseReply(extractReplyText(exchange.body), batch, m_targetLanguage);
  if (status == 429)
    throw TranslationError::rateLimitExceeded(rules.readsRetryAfter ? parseRetryAfter(exchange.retryAfter)
                                                                    : std::nullopt);
  if (status == 401 || (status == 403 && rules.forbiddenMeansMissingKey)) throw TranslationError::apiKeyMissing();
  if (status >= 500 && status <= 599)
    throw TranslationError::networkError(QStringLiteral("Server error: %1").arg(status));
  const std::optional<QString> body = decodeToolOutput(exchange.body);
  throw TranslationError::translationFailed(body.value_or(QStringLiteral("Unknown error")));
}

QList<TranslatedSegment> BatchedTranslationProvider::parseReply(const QString& text,
                                                                const QList<TranscribedSegment>& batch,
                                                                const QString& targetLanguage) const {
  return parseTranslationJSON(text, batch, targetLanguage);
}

void BatchedTranslationProvider::log(const QString&) const {}

QUrl BatchedTranslationProvider::baseUrl() const {
  return m_endpoints.baseUrl(m_providerType);
}

void BatchedTranslationProvider::report(double fraction, const QString& status) {
  if (m_progress) m_progress(fraction, status);
}

void BatchedTranslationProvider::finish(const ProviderOutcome& outcome) {
  m_pause.stop();
  m_busy = false;
  m_cancelRequested = false;
  m_batches.clear();
  m_results.clear();
  m_apiKey.clear();
  m_progress = nullptr;
  Completion done = std::move(m_done);
  m_done = nullptr;
  if (done) done(outcome);
}

void BatchedTranslationProvider::finishLater(const ProviderOutcome& outcome) {
  QTimer::singleShot(0, this, [this, outcome] { finish(outcome); });
}

}  // namespace parlowvista
