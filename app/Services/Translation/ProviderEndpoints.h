#pragma once

#include <QUrl>

namespace parlowvista {

enum class TranslationProviderType;

// Where the providers send their requests and how long they wait. The
// defaults are the public services; tests point the addresses at fake servers
// on 127.0.0.1 and shorten the waits. The application holds one (see
// Application) and hands it to the translation service, which hands it to
// each provider. Read and written on the UI thread only.
struct ProviderEndpoints {
  QUrl claudeBaseUrl{QStringLiteral("https://api.anthropic.com")};
  QUrl geminiBaseUrl{QStringLiteral("https://generativelanguage.googleapis.com")};
  QUrl openAIBaseUrl{QStringLiteral("https://api.openai.com")};
  // A request whose transfer stays idle this long fails.
  int requestTimeoutMs = 60'000;
  // A request not finished by then fails, however steadily its reply trickles in.
  int requestDeadlineMs = 300'000;
  // A reply body longer than this is not read, and the translation fails.
  qint64 maxReplyBytes = 4 * 1024 * 1024;
  // Milliseconds between two HTTPS batches, spacing the requests to a service.
  int batchPauseMs = 100;
  // A command-line tool that has not answered by then is stopped and the
  // translation fails, instead of waiting forever on a hung tool.
  int cliTimeoutMs = 300'000;

  QUrl baseUrl(TranslationProviderType type) const;
};

}  // namespace parlowvista
