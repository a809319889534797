#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace parlowvista {

// Our stand-in for a security-scoped bookmark: a small JSON record of a file's absolute path
// and its identity (device and inode numbers, with size and modification time), stored in
// AudioSource.fileBookmark.
//
// Resolution finds the file again:
//   - at the recorded path when the file there has the recorded identity (not stale);
//   - at the recorded path when a different file now sits there, e.g. a file replaced by a
//     save-as-new-file editor (stale: the record should be made again);
//   - when the path is gone, by identity among the entries of the recorded folder, which
//     follows a rename within the folder (stale); size and modification time must match too,
//     since a new file may be given a deleted file's inode number;
// and fails when the record cannot be read or the file is found nowhere of the above.
class FileBookmark {
 public:
  struct Resolution {
    QString path;  // absolute path of the file found
    bool isStale;  // the record no longer describes the file; make a new one
  };

  // The record of the existing file at `path`. On failure returns nothing and sets `error`
  // to the reason ("The file doesn't exist.", ...).
  static std::optional<QByteArray> create(const QString& path, QString* error = nullptr);

  // Finds the recorded file. On failure returns nothing and sets `error` to the reason.
  static std::optional<Resolution> resolve(const QByteArray& data, QString* error = nullptr);
};

}  // namespace parlowvista
