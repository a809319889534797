#pragma once

#include "Models/TranslationConnectionMode.h"
#include "Models/TranslationProviderType.h"

#include <QObject>
#include <QSettings>
#include <QString>

#include <optional>

namespace parlowvista {

class KeychainService;

// The translation settings: provider, connection mode, model, default target
// language, formatting preference and batch size. Each value lives in the
// application's QSettings under a "translation." key and is written the moment
// it changes. Unusable stored values fall back silently at load and are not
// written back; a stored model name is unusable only when blank or when it is
// another provider's suggested model. Belongs to the UI thread.
class TranslationSettings : public QObject {
  Q_OBJECT
 public:
  // Loads from the application's default QSettings; keys go to `keychain`.
  explicit TranslationSettings(KeychainService& keychain, QObject* parent = nullptr);

  KeychainService& keychain() const { return m_keychain; }

  TranslationProviderType selectedProvider() const { return m_selectedProvider; }
  TranslationConnectionMode connectionMode() const { return m_connectionMode; }
  const QString& selectedModel() const { return m_selectedModel; }
  const QString& defaultTargetLanguage() const { return m_defaultTargetLanguage; }
  bool preserveFormatting() const { return m_preserveFormatting; }
  // Segments per request; below 1 means "all in one request".
  int batchSize() const { return m_batchSize; }

  // Stores the provider and, when it differs from the current one and the
  // current model is not one of its suggested models, switches to the
  // provider's default model (stored too).
  void setSelectedProvider(TranslationProviderType provider);
  void setConnectionMode(TranslationConnectionMode mode);
  // Any model name the provider may know, stored as typed: the suggested
  // names (availableModels) are not the only ones. A blank name gives the
  // provider's default model.
  void setSelectedModel(const QString& model);
  void setDefaultTargetLanguage(const QString& code);
  void setPreserveFormatting(bool preserve);
  void setBatchSize(int size);

  // Whether the selected provider can run in the selected mode: its tool is
  // found (CLI), or a key item is stored for it (API). Blocks while it looks.
  bool isCurrentProviderConfigured() const;

  // The full path of the provider's command-line tool, searched afresh on
  // every call in the usual install folders and then through "which".
  std::optional<QString> detectCliPath(TranslationProviderType provider) const;

  // Tells observers that something derived from the settings changed, such
  // as a stored API key.
  void announceChange() { emit changed(); }

 signals:
  void selectedProviderChanged(parlowvista::TranslationProviderType provider);
  void connectionModeChanged(parlowvista::TranslationConnectionMode mode);
  void selectedModelChanged(const QString& model);
  void defaultTargetLanguageChanged(const QString& code);
  void preserveFormattingChanged(bool preserve);
  void batchSizeChanged(int size);
  // Any of the above, and announceChange().
  void changed();

 private:
  void load();
  void store(const QString& key, const QVariant& value);
  // Takes `value` and writes `stored` under `key`; announces the field when its value
  // differs, and the settings in any case.
  template <typename T, typename Signal>
  void update(T& field, const T& value, const QString& key, const QVariant& stored, Signal fieldChanged);

  KeychainService& m_keychain;
  QSettings m_defaults;
  TranslationProviderType m_selectedProvider = TranslationProviderType::claude;
  TranslationConnectionMode m_connectionMode = TranslationConnectionMode::cli;
  QString m_selectedModel;
  QString m_defaultTargetLanguage;
  bool m_preserveFormatting = true;
  int m_batchSize = 10;
};

}  // namespace parlowvista
