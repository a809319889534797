#pragma once

#include <QString>

#include <functional>
#include <stop_token>

namespace parlowvista {

// Files and folders this process writes, or keeps for a while, in a folder that a start of the
// application sweeps for what copies that are gone left behind. Each is held by an exclusive lock
// on the file or folder itself (flock) for as long as this process keeps it. The lock is the
// kernel's: every process that shares the folder sees it, whatever its process-id namespace (a
// container), and it cannot be mistaken for an unrelated process that got the same number; it
// goes with this process however that ends, a SIGKILL included. Its descriptor is closed on exec,
// so the tools the application starts do not hold it.
//
// Any thread.
class HeldFiles {
 public:
  // Makes `path`, new and empty, readable and writable by the running user alone (0600, whatever
  // the umask), and holds it until release(path) or the end of the process.
  // Returns an empty string, or why it could not be made: "<path>: <the system's reason>".
  static QString create(const QString& path);
  // Makes the folder `path`, new and empty, open to the running user alone (0700), and holds it
  // as create() holds a file. What is made in it is kept from other users by it.
  static QString createFolder(const QString& path);
  // Lets a file or folder create() or createFolder() made go, removed or not; any other path:
  // nothing.
  static void release(const QString& path);
  // Removes the folder `path` with all in it and lets it go, whether this process holds it (it is
  // then emptied through the descriptor it is held by, and let go only once it is gone) or not;
  // says whether it went. Like every removal here, it goes by descriptors and never follows a
  // link, at any depth (voxtrellis::FolderRemoval), and removes only the running user's files
  // and folders: a link is removed itself, and what it leads to stays, even when it is swapped
  // in for a folder while the removal runs.
  static bool removeFolder(const QString& path);
  // Removes `path` when it is a regular file (not a link) of the running user that no process
  // holds, and says whether it went. A file this process cannot open for writing is not removed.
  // In a folder where locks cannot be taken (some network shares), it goes only when
  // `goneWithoutLocks` is given and answers true.
  static bool removeUnlessHeld(const QString& path, const std::function<bool()>& goneWithoutLocks = {});
  // Removes `path` with all in it when it is a folder (not a link) of the running user that no
  // process holds, and says whether it went (as removeFolder() removes it; another user's file or
  // folder inside stays, and so does the folder). A folder where locks cannot be taken is not
  // removed: a copy that is gone cannot be told there from one that runs. A stop asked for
  // through `stop` ends the removal between two entries, and the folder stays with what is left.
  static bool removeFolderUnlessHeld(const QString& path, std::stop_token stop = {});
};

}  // namespace parlowvista
