#include "Services/Translation/TranslationSettings.h"

#include "Services/KeychainService.h"
#include "Services/ToolLocator.h"

#include <QDir>
#include <QMetaType>

namespace parlowvista {

namespace {

const QString kProviderKey = QStringLiteral("translation.selectedProvider");
const QString kModeKey = QStringLiteral("translation.connectionMode");
const QString kModelKey = QStringLiteral("translation.selectedModel");
const QString kTargetKey = QStringLiteral("translation.defaultTargetLanguage");
const QString kFormattingKey = QStringLiteral("translation.preserveFormatting");
const QString kBatchSizeKey = QStringLiteral("translation.batchSize");

QString toolName(TranslationProviderType provider) {
  switch (provider) {
    case TranslationProviderType::claude: return QStringLiteral("claude");
    case TranslationProviderType::gemini: return QStringLiteral("gemini");
    case TranslationProviderType::openai: return QStringLiteral("openai");
  }
  return QStringLiteral("claude");
}

// QSettings hands back strings for values it read from its file, and native
// types for values set in this run; accept both spellings of a Boolean.
std::optional<bool> storedBool(const QVariant& value) {
  if (value.typeId() == QMetaType::Bool) return value.toBool();
  if (value.typeId() == QMetaType::QString) {
    const QString text = value.toString();
    if (text == QLatin1String("true")) return true;
    if (text == QLatin1String("false")) return false;
  }
  return std::nullopt;
}

// A model name the user may keep for `provider`: any non-blank name, typed or picked, except a
// suggestion of another provider. The suggested names go stale as providers retire models, so a
// name outside them is taken as given.
bool isUsableModel(const QString& model, TranslationProviderType provider) {
  if (model.trimmed().isEmpty()) return false;
  for (TranslationProviderType other : allTranslationProviderTypes()) {
    if (other != provider && availableModels(other).contains(model)) return false;
  }
  return true;
}

std::optional<int> storedInt(const QVariant& value) {
  if (value.typeId() == QMetaType::Bool) return std::nullopt;
  bool ok = false;
  const int number = value.toString().toInt(&ok);
  if (!ok) return std::nullopt;
  return number;
}

}  // namespace

TranslationSettings::TranslationSettings(KeychainService& keychain, QObject* parent)
    : QObject(parent), m_keychain(keychain) {
  load();
}

void TranslationSettings::store(const QString& key, const QVariant& value) {
  m_defaults.setValue(key, value);
  // Written through at once, so a crash right after a change keeps it.
  m_defaults.sync();
}

template <typename T, typename Signal>
void TranslationSettings::update(T& field, const T& value, const QString& key, const QVariant& stored,
                                 Signal fieldChanged) {
  const bool differs = value != field;
  field = value;
  store(key, stored);
  if (differs) emit(this->*fieldChanged)(value);
  emit changed();
}

void TranslationSettings::load() {
  const QVariant provider = m_defaults.value(kProviderKey);
  m_selectedProvider =
      translationProviderTypeFromRawValue(provider.toString()).value_or(TranslationProviderType::claude);
  m_connectionMode = translationConnectionModeFromRawValue(m_defaults.value(kModeKey).toString())
                         .value_or(TranslationConnectionMode::cli);
  const QString model = m_defaults.value(kModelKey).toString();
  m_selectedModel = isUsableModel(model, m_selectedProvider) ? model : defaultModel(m_selectedProvider);
  const QVariant target = m_defaults.value(kTargetKey);
  m_defaultTargetLanguage = target.isValid() ? target.toString() : QStringLiteral("en");
  m_preserveFormatting = storedBool(m_defaults.value(kFormattingKey)).value_or(true);
  const int batch = storedInt(m_defaults.value(kBatchSizeKey)).value_or(10);
  m_batchSize = batch == 0 ? 10 : batch;
}

void TranslationSettings::setSelectedProvider(TranslationProviderType provider) {
  const bool differs = provider != m_selectedProvider;
  m_selectedProvider = provider;
  store(kProviderKey, rawValue(provider));
  if (differs) emit selectedProviderChanged(provider);
  // A name typed for the provider stays; another provider's model does not carry over.
  if (differs ? !availableModels(provider).contains(m_selectedModel) : !isUsableModel(m_selectedModel, provider))
    setSelectedModel(defaultModel(provider));
  emit changed();
}

void TranslationSettings::setConnectionMode(TranslationConnectionMode mode) {
  update(m_connectionMode, mode, kModeKey, rawValue(mode), &TranslationSettings::connectionModeChanged);
}

void TranslationSettings::setSelectedModel(const QString& typed) {
  // Stored as typed; only a blank name, which no provider accepts, gives the default.
  const QString model = typed.trimmed().isEmpty() ? defaultModel(m_selectedProvider) : typed;
  update(m_selectedModel, model, kModelKey, model, &TranslationSettings::selectedModelChanged);
}

void TranslationSettings::setDefaultTargetLanguage(const QString& code) {
  update(m_defaultTargetLanguage, code, kTargetKey, code, &TranslationSettings::defaultTargetLanguageChanged);
}

void TranslationSettings::setPreserveFormatting(bool preserve) {
  update(m_preserveFormatting, preserve, kFormattingKey, preserve, &TranslationSettings::preserveFormattingChanged);
}

void TranslationSettings::setBatchSize(int size) {
  update(m_batchSize, size, kBatchSizeKey, size, &TranslationSettings::batchSizeChanged);
}

bool TranslationSettings::isCurrentProviderConfigured() const {
  if (m_connectionMode == TranslationConnectionMode::cli) return detectCliPath(m_selectedProvider).has_value();
  return m_keychain.exists(KeychainService::apiKeyAccount(m_selectedProvider));
}

std::optional<QString> TranslationSettings::detectCliPath(TranslationProviderType provider) const {
  const QString name = toolName(provider);
  const QString home = QDir::homePath();
  return ToolLocator::find(
      {
          QStringLiteral("/usr/local/bin/") + name,
          QStringLiteral("/opt/homebrew/bin/") + name,
          home + QStringLiteral("/.local/bin/") + name,
          home + QStringLiteral("/.") + name + QStringLiteral("/bin/") + name,
      },
      {name});
}

}  // namespace parlowvista
