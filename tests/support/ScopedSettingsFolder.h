#pragma once

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QString>

namespace testsupport {

// Points the user-scope settings (native and INI format) at `folder` for the object's
// lifetime, then back where they were: settings written later in the process (a file dialog's
// state, say) must not bring a test's removed folder back.
class ScopedSettingsFolder {
 public:
  explicit ScopedSettingsFolder(const QString& folder)
      : m_native(current(QSettings::NativeFormat)), m_ini(current(QSettings::IniFormat)) {
    for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat})
      QSettings::setPath(format, QSettings::UserScope, folder);
  }
  ~ScopedSettingsFolder() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_native);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_ini);
  }
  ScopedSettingsFolder(const ScopedSettingsFolder&) = delete;
  ScopedSettingsFolder& operator=(const ScopedSettingsFolder&) = delete;

  // The folder user-scope settings of `format` are kept in now.
  static QString current(QSettings::Format format) {
    // Qt keeps "<folder>/<organization>/<application>.conf" (.ini); it has no getter for the folder.
    const QSettings probe(format, QSettings::UserScope, QStringLiteral("probe"), QStringLiteral("probe"));
    return QFileInfo(probe.fileName()).dir().absolutePath().chopped(QStringLiteral("/probe").size());
  }

 private:
  QString m_native;
  QString m_ini;
};

}  // namespace testsupport
