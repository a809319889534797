#pragma once

#include "Models/DiarizationPreset.h"

#include <QObject>
#include <QSettings>
#include <QString>
#include <QUuid>
#include <QVariant>
#include <memory>
#include <optional>

namespace parlowvista {

// The application's settings. Every value is loaded from the settings store at creation and
// written back under the key equal to its name as soon as it is assigned (assigning the value
// already held writes too). Numeric values read as 0 from the store stand for "not set" and
// give the default, so a stored 0 reads back as the default. Loading writes nothing.
// Lives on the UI thread; each setter emits its change signal after storing.
class AppSettings : public QObject {
  Q_OBJECT
 public:
  static constexpr double kDefaultAutoSaveInterval = 2.0;
  static constexpr double kDefaultCustomThreshold = 0.5;
  static constexpr qint64 kDefaultMaxSubtitleChars = 150;
  static constexpr double kDefaultMaxSubtitleDuration = 10.0;

  // Settings over `store`, with the application-support folder at `applicationSupportRoot`
  // (the app's own folder, "Parlowvista", is made under it). Runs the loading steps.
  AppSettings(std::unique_ptr<QSettings> store, QString applicationSupportRoot, QObject* parent = nullptr);
  ~AppSettings() override;

  // The user's application-support folder: $XDG_DATA_HOME, else ~/.local/share (the engine
  // places "Voxtrellis/Models" under the same root); a test folder in QStandardPaths' test mode.
  static QString defaultApplicationSupportRoot();

  // applicationSupportRoot/Parlowvista: the default library folder.
  QString defaultLibraryLocation() const;

  // Absolute path of the library folder (holds "Parlowvista.store").
  QString libraryLocation() const { return m_libraryLocation; }
  // Stores the path, then makes the folders (ensureDirectoriesExist()).
  void setLibraryLocation(const QString& path);

  std::optional<QUuid> lastUsedGroupId() const { return m_lastUsedGroupId; }
  // Stored as the upper-case canonical text; an absent value removes the key.
  void setLastUsedGroupId(std::optional<QUuid> id);

  bool hasCompletedOnboarding() const { return m_hasCompletedOnboarding; }
  void setHasCompletedOnboarding(bool value);

  double autoSaveInterval() const { return m_autoSaveInterval; }
  void setAutoSaveInterval(double seconds);

  DiarizationPreset defaultDiarizationPreset() const { return m_defaultDiarizationPreset; }
  void setDefaultDiarizationPreset(DiarizationPreset preset);

  double defaultCustomThreshold() const { return m_defaultCustomThreshold; }
  void setDefaultCustomThreshold(double value);

  qint64 defaultMaxSubtitleChars() const { return m_defaultMaxSubtitleChars; }
  void setDefaultMaxSubtitleChars(qint64 value);

  double defaultMaxSubtitleDuration() const { return m_defaultMaxSubtitleDuration; }
  void setDefaultMaxSubtitleDuration(double seconds);

  // Creates, ignoring failures: the library folder and the default library folder (whatever
  // the library location is). An empty "AudioCache" that earlier versions made in the library
  // folder is removed.
  void ensureDirectoriesExist();

  // Restores the library location, autosave period, preset, threshold and subtitle limits;
  // the last-used group and the onboarding flag stay.
  void resetToDefaults();

  // The store the values are written to (flushed to disk by QSettings on its own schedule;
  // sync() forces it).
  QSettings& store() { return *m_store; }

 signals:
  void libraryLocationChanged();
  void lastUsedGroupIdChanged();
  void hasCompletedOnboardingChanged();
  void autoSaveIntervalChanged();
  void defaultDiarizationPresetChanged();
  void defaultCustomThresholdChanged();
  void defaultMaxSubtitleCharsChanged();
  void defaultMaxSubtitleDurationChanged();

 private:
  double readDouble(const char* key, double fallback) const;
  // Takes `value`, writes `stored` under `key` and announces the change.
  template <typename T>
  void keep(T& field, T value, const char* key, const QVariant& stored, void (AppSettings::*changed)());

  std::unique_ptr<QSettings> m_store;
  QString m_applicationSupportRoot;
  QString m_libraryLocation;
  std::optional<QUuid> m_lastUsedGroupId;
  bool m_hasCompletedOnboarding = false;
  double m_autoSaveInterval = kDefaultAutoSaveInterval;
  DiarizationPreset m_defaultDiarizationPreset = DiarizationPreset::balanced;
  double m_defaultCustomThreshold = kDefaultCustomThreshold;
  qint64 m_defaultMaxSubtitleChars = kDefaultMaxSubtitleChars;
  double m_defaultMaxSubtitleDuration = kDefaultMaxSubtitleDuration;
};

}  // namespace parlowvista
