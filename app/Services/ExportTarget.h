#pragma once

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

#include <optional>

namespace parlowvista {

// The file an export writes, found from the path the user chose the way the system finds it,
// one name at a time through descriptors, but never led where another user may send it: in a
// folder that others may write in and that has the sticky bit (/tmp, a shared project folder),
// a link is followed, and a pipe, device or file taken, only when it belongs to the running user
// or to the folder's owner. Whatever was looked at is what is written: the folder that holds the
// file stays open from the look to the write, the name is taken without following a link, and a
// pipe or device opened is checked to be the one looked at.
//
// A regular file, or a new one, is replaced whole: the bytes go to a new file of a short name of
// its own beside it (a name made from the target's may not fit beside a name near the file
// system's limit), reach the disk, and are renamed over it; the link that led there stays. A
// pipe or device is written in place, never waited on for long: a pipe that no program reads
// fails at once, and one that takes nothing for two seconds fails then.
//
// One export, on one thread.
class ExportTarget {
 public:
  explicit ExportTarget(const QString& path);
  ~ExportTarget();
  ExportTarget(const ExportTarget&) = delete;
  ExportTarget& operator=(const ExportTarget&) = delete;

  // Writes `bytes` to the file, or leaves it as it was; returns why not: "<path> belongs to
  // another user", "<path> is a pipe that no program is reading" or the system's own reason
  // ("No space left on device"). Empty once written.
  QString write(const QByteArray& bytes) const;

 private:
  void find(const QByteArray& path);
  QString replaceWhole(const QByteArray& bytes) const;
  QString writeInPlace(const QByteArray& bytes) const;

  int m_folder = -1;                      // the folder that holds the file, open
  QByteArray m_name;                      // the file's name in it
  QString m_shown;                        // the file's path, as said to the user
  std::optional<struct stat> m_existing;  // the file as it was found; none for a new one
  QString m_failure;                      // why it was not found
};

}  // namespace parlowvista
