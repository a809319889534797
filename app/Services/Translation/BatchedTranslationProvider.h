#pragma once

#include "Models/TranslationConnectionMode.h"
#include "Services/Translation/ProviderHttpCall.h"
#include "Services/Translation/TranslationProviderProtocol.h"

#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QUrl>

namespace parlowvista {

class ProcessRunner;
class TranslationSettings;
struct ProviderEndpoints;

// The road every provider shares: cut the segments into batches of the
// settings' batch size, send one prompt per batch (an HTTPS request with a
// pause between batches, or one run of the command-line tool), read the reply
// back, report progress before each batch and "Translation complete" at the
// end. A segment the reply leaves out keeps its original text and is counted
// in the closing message. A provider adds only its request, its reply shape and its tool.
class BatchedTranslationProvider : public TranslationProviderProtocol {
  Q_OBJECT
 public:
  // `settings` and `endpoints` outlive the provider.
  BatchedTranslationProvider(TranslationProviderType type, TranslationSettings& settings,
                             const ProviderEndpoints& endpoints, TranslationConnectionMode mode,
                             QObject* parent = nullptr);
  ~BatchedTranslationProvider() override;

  TranslationProviderType providerType() const override { return m_providerType; }
  TranslationConnectionMode connectionMode() const { return m_connectionMode; }
  TranslationSettings& settings() const { return m_settings; }

  bool checkAvailability() override;
  void translate(const QList<TranscribedSegment>& segments, const QString& targetLanguage,
                 const std::optional<QString>& sourceLanguage, const std::optional<QString>& model,
                 TranslationProgressHandler progressHandler, Completion done) override;
  void cancel() override;

  // The provider's own search for its command-line tool.
  virtual std::optional<QString> findCli() const = 0;

 protected:
  struct ApiRequest {
    QUrl url;
    ProviderHttpCall::Headers headers;
    QByteArray body;
  };

  // How a provider reads HTTP statuses other than 200 and 5xx.
  struct StatusRules {
    bool forbiddenMeansMissingKey = false;
    bool readsRetryAfter = true;
  };

  // The request of one batch. May throw TranslationError (nothing is sent).
  virtual ApiRequest makeApiRequest(const QString& prompt, const QString& model, const QString& apiKey) const = 0;
  // The model's text out of a 200 body; throws TranslationError::invalidResponse.
  virtual QString extractReplyText(const QByteArray& body) const = 0;
  virtual StatusRules statusRules() const = 0;
  // Name in "... CLI not found." and in the time-out message.
  virtual QString cliToolName() const = 0;
  virtual QStringList cliArguments(const QString& prompt) const = 0;
  // Reads the model's text into segments; throws TranslationError.
  virtual QList<TranslatedSegment> parseReply(const QString& text, const QList<TranscribedSegment>& batch,
                                              const QString& targetLanguage) const;
  // Diagnostic line for the system log; providers that keep quiet ignore it.
  virtual void log(const QString& line) const;

  QUrl baseUrl() const;

 private:
  void startBatches(const QList<TranscribedSegment>& segments);
  void runNextBatch();
  void sendApiBatch(const QList<TranscribedSegment>& batch, const QString& prompt);
  void runCliBatch(const QList<TranscribedSegment>& batch, const QString& prompt);
  void batchSucceeded(const QList<TranslatedSegment>& answers, const QList<TranscribedSegment>& batch);
  void report(double fraction, const QString& status);
  void finish(const ProviderOutcome& outcome);
  void finishLater(const ProviderOutcome& outcome);
  QList<TranslatedSegment> judgeResponse(const HttpExchange& exchange, const QList<TranscribedSegment>& batch) const;

  const TranslationProviderType m_providerType;
  TranslationSettings& m_settings;
  const ProviderEndpoints& m_endpoints;
  const TranslationConnectionMode m_connectionMode;

  // State of the translate() in flight.
  bool m_busy = false;
  bool m_cancelRequested = false;
  QList<QList<TranscribedSegment>> m_batches;
  qsizetype m_nextBatch = 0;
  QList<TranslatedSegment> m_results;
  qsizetype m_untranslated = 0;
  QString m_targetLanguage;
  std::optional<QString> m_sourceLanguage;
  QString m_model;
  QString m_apiKey;
  QString m_cliPath;
  TranslationProgressHandler m_progress;
  Completion m_done;

  ProviderHttpCall* m_http = nullptr;
  ProcessRunner* m_cli = nullptr;
  QTimer m_pause;
};

// The list cut, in order, into pieces of `size` (at least 1), the last one shorter.
QList<QList<TranscribedSegment>> chunked(const QList<TranscribedSegment>& segments, qsizetype size);

}  // namespace parlowvista
