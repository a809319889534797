#pragma once

#include <QString>

#include <optional>

namespace parlowvista {

enum class TranslationProviderType;

// Keeps the translation providers' API keys in the desktop's Secret Service
// (through qtkeychain), one generic-password item per account.
//
// Every call is synchronous: it runs the keychain job to its end in a local
// event loop, so it must be called from a thread that has a Qt event loop
// (the UI thread in the application). Failures are never thrown; they show up
// as the documented return values. The four item operations are virtual so
// tests can stand in a keychain that fails.
class KeychainService {
 public:
  explicit KeychainService(QString serviceName);
  virtual ~KeychainService() = default;

  const QString& serviceName() const { return m_serviceName; }

  // The stored text of the account; nothing when there is no item, the
  // keychain fails, or the stored bytes are not UTF-8.
  virtual std::optional<QString> get(const QString& account) const;

  // Stores the value, replacing any item of the account. The new value is
  // written over the old one in a single step, so a failed write leaves the
  // previous key in place. Returns true when the keychain accepted it.
  virtual bool set(const QString& value, const QString& account) const;

  // Removes the item. True when it is gone afterwards (also when there was none).
  virtual bool remove(const QString& account) const;

  // Whether an item of the account can be read.
  virtual bool exists(const QString& account) const;

  // Stores a provider's key under "apiKey." + its display name, or removes
  // the item when the key is absent or empty. Returns the real outcome of
  // the write or the removal.
  bool setAPIKey(const std::optional<QString>& key, TranslationProviderType provider) const;

  // "apiKey." followed by the provider's display name.
  static QString apiKeyAccount(TranslationProviderType provider);

 private:
  QString m_serviceName;
};

}  // namespace parlowvista
