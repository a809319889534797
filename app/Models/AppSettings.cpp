#include "Models/AppSettings.h"

#include "Models/UuidText.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

namespace parlowvista {

namespace {
const char* const kKeyLibraryLocation = "libraryLocation";
const char* const kKeyLastUsedGroupId = "lastUsedGroupId";
const char* const kKeyHasCompletedOnboarding = "hasCompletedOnboarding";
const char* const kKeyAutoSaveInterval = "autoSaveInterval";
const char* const kKeyDefaultDiarizationPreset = "defaultDiarizationPreset";
const char* const kKeyDefaultCustomThreshold = "defaultCustomThreshold";
const char* const kKeyDefaultMaxSubtitleChars = "defaultMaxSubtitleChars";
const char* const kKeyDefaultMaxSubtitleDuration = "defaultMaxSubtitleDuration";
}  // namespace

QString AppSettings::defaultApplicationSupportRoot() {
  // $XDG_DATA_HOME, else ~/.local/share (the root the engine uses for its models); under
  // QStandardPaths' test mode a throw-away folder instead, so tests never touch the user's.
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

AppSettings::AppSettings(std::unique_ptr<QSettings> store, QString applicationSupportRoot, QObject* parent)
    : QObject(parent), m_store(std::move(store)), m_applicationSupportRoot(std::move(applicationSupportRoot)) {
  const QVariant groupText = m_store->value(kKeyLastUsedGroupId);
  if (groupText.isValid()) {
    const QUuid id = uuidFromText(groupText.toString());
    if (!id.isNull()) m_lastUsedGroupId = id;
  }

  // An empty path names no folder: it is as unusable as a missing key.
  const QString location = m_store->value(kKeyLibraryLocation).toString();
  m_libraryLocation = location.isEmpty() ? defaultLibraryLocation() : location;

  m_hasCompletedOnboarding = m_store->value(kKeyHasCompletedOnboarding).toBool();
  m_autoSaveInterval = readDouble(kKeyAutoSaveInterval, kDefaultAutoSaveInterval);
  m_defaultCustomThreshold = readDouble(kKeyDefaultCustomThreshold, kDefaultCustomThreshold);
  m_defaultMaxSubtitleDuration = readDouble(kKeyDefaultMaxSubtitleDuration, kDefaultMaxSubtitleDuration);
  m_defaultDiarizationPreset = diarizationPresetFromRawValue(m_store->value(kKeyDefaultDiarizationPreset).toString())
                                   .value_or(DiarizationPreset::balanced);
  const qint64 chars = m_store->value(kKeyDefaultMaxSubtitleChars).toLongLong();
  m_defaultMaxSubtitleChars = chars == 0 ? kDefaultMaxSubtitleChars : chars;

  ensureDirectoriesExist();
}

AppSettings::~AppSettings() = default;

template <typename T>
void AppSettings::keep(T& field, T value, const char* key, const QVariant& stored, void (AppSettings::*changed)()) {
  field = value;
  m_store->setValue(key, stored);
  emit(this->*changed)();
}

double AppSettings::readDouble(const char* key, double fallback) const {
  // A missing or unreadable value reads as 0, like a stored 0: both mean "use the default".
  const double value = m_store->value(key).toDouble();
  return value == 0.0 ? fallback : value;
}

QString AppSettings::defaultLibraryLocation() const {
  return m_applicationSupportRoot + QStringLiteral("/Parlowvista");
}

void AppSettings::setLibraryLocation(const QString& path) {
  m_libraryLocation = path;
  m_store->setValue(kKeyLibraryLocation, path);
  ensureDirectoriesExist();
  emit libraryLocationChanged();
}

void AppSettings::setLastUsedGroupId(std::optional<QUuid> id) {
  // Every finished run names its group again; a write would make QSettings rewrite and flush
  // its file on the UI thread for nothing.
  if (id && id == m_lastUsedGroupId) return;
  m_lastUsedGroupId = id;
  if (id)
    m_store->setValue(kKeyLastUsedGroupId, uuidText(*id));
  else
    m_store->remove(kKeyLastUsedGroupId);
  emit lastUsedGroupIdChanged();
}

void AppSettings::setHasCompletedOnboarding(bool value) {
  keep(m_hasCompletedOnboarding, value, kKeyHasCompletedOnboarding, value, &AppSettings::hasCompletedOnboardingChanged);
}

void AppSettings::setAutoSaveInterval(double seconds) {
  keep(m_autoSaveInterval, seconds, kKeyAutoSaveInterval, seconds, &AppSettings::autoSaveIntervalChanged);
}

void AppSettings::setDefaultDiarizationPreset(DiarizationPreset preset) {
  keep(m_defaultDiarizationPreset, preset, kKeyDefaultDiarizationPreset, rawValue(preset),
       &AppSettings::defaultDiarizationPresetChanged);
}

void AppSettings::setDefaultCustomThreshold(double value) {
  keep(m_defaultCustomThreshold, value, kKeyDefaultCustomThreshold, value, &AppSettings::defaultCustomThresholdChanged);
}

void AppSettings::setDefaultMaxSubtitleChars(qint64 value) {
  keep(m_defaultMaxSubtitleChars, value, kKeyDefaultMaxSubtitleChars, value,
       &AppSettings::defaultMaxSubtitleCharsChanged);
}

void AppSettings::setDefaultMaxSubtitleDuration(double seconds) {
  keep(m_defaultMaxSubtitleDuration, seconds, kKeyDefaultMaxSubtitleDuration, seconds,
       &AppSettings::defaultMaxSubtitleDurationChanged);
}

void AppSettings::ensureDirectoriesExist() {
  if (!m_libraryLocation.isEmpty()) {
    QDir().mkpath(m_libraryLocation);
    // The sample cache lives in the cache folder (AudioCacheService): the empty "AudioCache"
    // that earlier versions made here only misled whoever looked for what to clear. rmdir
    // removes it only while it is empty.
    QDir(m_libraryLocation).rmdir(QStringLiteral("AudioCache"));
  }
  QDir().mkpath(defaultLibraryLocation());
}

void AppSettings::resetToDefaults() {
  setLibraryLocation(defaultLibraryLocation());
  setAutoSaveInterval(kDefaultAutoSaveInterval);
  setDefaultDiarizationPreset(DiarizationPreset::balanced);
  setDefaultCustomThreshold(kDefaultCustomThreshold);
  setDefaultMaxSubtitleChars(kDefaultMaxSubtitleChars);
  setDefaultMaxSubtitleDuration(kDefaultMaxSubtitleDuration);
}

}  // namespace parlowvista
