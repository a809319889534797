#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace parlowvista {

class ProcessRunner;

// Finds the command-line tools the application runs (provider tools, yt-dlp, ffmpeg). It
// only looks at the file system, starts no process and reads PATH afresh on every call,
// so a tool installed while the application runs is found by the next search. Any thread.
class ToolLocator {
 public:
  // The first of `paths` that is an executable file.
  static std::optional<QString> firstExecutable(const QStringList& paths);

  // The first executable file named `name` in the folders of the PATH variable, in their
  // order, as a shell finds it; its absolute path.
  static std::optional<QString> onSearchPath(const QString& name);

  // The first executable of `paths`, else the first of `names` found on PATH.
  static std::optional<QString> find(const QStringList& paths, const QStringList& names);

  // The first of `names` found on PATH, else the first executable of `paths`: a tool the
  // user installed (with pipx into ~/.local/bin, say) wins over the system's package.
  static std::optional<QString> findPreferringPath(const QStringList& names, const QStringList& paths);

  // Runs `tool versionArguments` through `runner` and then logs one line naming the tool,
  // its path and the first line of what it printed (or why nothing came). Returns at once.
  static void logVersion(ProcessRunner& runner, const QString& label, const QString& tool,
                         const QStringList& versionArguments = {QStringLiteral("--version")});
};

}  // namespace parlowvista
