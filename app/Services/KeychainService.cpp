#include "Services/KeychainService.h"

#include "Models/TranslationProviderType.h"

#include <QEventLoop>
#include <QStringDecoder>

#include <qt6keychain/keychain.h>

namespace parlowvista {

namespace {

// Runs a keychain job to its end. The Secret Service backend answers through
// the event loop, so the job needs one even when the caller wants a plain
// synchronous answer.
QKeychain::Error runJob(QKeychain::Job& job) {
  QEventLoop loop;
  bool done = false;
  QObject::connect(&job, &QKeychain::Job::finished, &loop, [&] {
    done = true;
    loop.quit();
  });
  job.setAutoDelete(false);
  job.setInsecureFallback(false);
  job.start();
  if (!done) loop.exec(QEventLoop::ExcludeUserInputEvents);
  return job.error();
}

std::optional<QString> decodeUtf8(const QByteArray& bytes) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = decoder.decode(bytes);
  if (decoder.hasError()) return std::nullopt;
  return text;
}

}  // namespace

KeychainService::KeychainService(QString serviceName) : m_serviceName(std::move(serviceName)) {}

std::optional<QString> KeychainService::get(const QString& account) const {
  QKeychain::ReadPasswordJob job(m_serviceName);
  job.setKey(account);
  if (runJob(job) != QKeychain::NoError) return std::nullopt;
  return decodeUtf8(job.binaryData());
}

bool KeychainService::set(const QString& value, const QString& account) const {
  // Writing over the existing item (rather than deleting it first) keeps
  // the old key when the write fails.
  QKeychain::WritePasswordJob job(m_serviceName);
  job.setKey(account);
  job.setBinaryData(value.toUtf8());
  return runJob(job) == QKeychain::NoError;
}

bool KeychainService::remove(const QString& account) const {
  QKeychain::DeletePasswordJob job(m_serviceName);
  job.setKey(account);
  const QKeychain::Error error = runJob(job);
  return error == QKeychain::NoError || error == QKeychain::EntryNotFound;
}

bool KeychainService::exists(const QString& account) const {
  QKeychain::ReadPasswordJob job(m_serviceName);
  job.setKey(account);
  return runJob(job) == QKeychain::NoError;
}

bool KeychainService::setAPIKey(const std::optional<QString>& key, TranslationProviderType provider) const {
  const QString account = apiKeyAccount(provider);
  if (key && !key->isEmpty()) return set(*key, account);
  return remove(account);
}

QString KeychainService::apiKeyAccount(TranslationProviderType provider) {
  return QStringLiteral("apiKey.") + displayName(provider);
}

}  // namespace parlowvista
