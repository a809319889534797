#pragma once

// Starting a program in namespaces of its own (util-linux's unshare): a process-id namespace,
// where the processes outside cannot be seen, as in another container; a mount namespace,
// where a test may mount a small file system of its own. As root directly; as another user
// inside a user namespace of its own, where the program runs as that namespace's root.

#include <QProcess>
#include <QStringList>

#include <optional>

#include <unistd.h>

namespace testsupport {

// The command to put before a program so that it runs in new namespaces of the kinds given
// ("--pid", "--fork"; "--mount"), or nothing when this machine does not allow it (a container
// that forbids new namespaces, a kernel without user namespaces, no unshare), and then why in
// `whyNot`.
inline std::optional<QStringList> namespaceLauncher(const QStringList& kinds, QString* whyNot = nullptr) {
  QStringList launcher{QStringLiteral("unshare")};
  if (::geteuid() != 0) launcher << QStringLiteral("--user") << QStringLiteral("--map-root-user");
  launcher << kinds;
  QProcess trial;
  trial.setProcessChannelMode(QProcess::MergedChannels);
  trial.start(launcher.first(), launcher.mid(1) + QStringList{QStringLiteral("true")});
  if (trial.waitForFinished(30000) && trial.exitStatus() == QProcess::NormalExit && trial.exitCode() == 0) {
    return launcher;
  }
  if (whyNot) {
    *whyNot = trial.error() == QProcess::FailedToStart ? QStringLiteral("unshare is not installed")
                                                       : QString::fromLocal8Bit(trial.readAll().trimmed());
  }
  return std::nullopt;
}

}  // namespace testsupport
