#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

namespace parlowvista {

class AppSettings;
class AudioSource;
class FileAccessManager;
class ModelContext;
class TranscriptGroup;

// Every library write the views make: groups added, renamed, reordered and deleted; sources
// deleted and relocated. Each write is saved at once. A failed save prints one line
// ("Failed to add group: " and the reason, and so on), rolls nothing back and is not shown.
//
// Deletions save first and only then remove files, and only the files the app made itself:
// the downloaded audio of an online video and a cached-samples file, each only when its
// real path lies inside one of `ownedFolders` (the downloads and sample-cache folders). A
// stored path that points elsewhere (a relocated online video now naming the user's own
// file) is left alone. When the save fails no file is removed.
//
// Each file is removed as it was checked: it is looked at, and removed, in the folder holding it,
// entered from the owned folder one step at a time and never through a link; and it goes only
// while the owned folder is the one checked and the file's name there still stands for the very
// regular file checked (its identity), owned by the running user. A file, or a folder on its
// way, swapped for a link after the check, or a file replaced, stays, and so does all that
// stands in its place or that a link leads to. Each removal prints one line: "Deleted YouTube
// audio file: " or "Deleted cached samples: " and the path, or "Failed to delete YouTube audio
// file: " or "Failed to delete cached samples: " and why.
//
// A source that a run still holds (see setInUseProbe), or a group holding such a source, is not
// deleted: the refusal is announced (deletionRefused) and false returned. The views ask
// deletionRefusal first, so that they offer no deletion that would be refused.
//
// UI thread only; needs no widget.
class LibraryActions : public QObject {
  Q_OBJECT
 public:
  LibraryActions(ModelContext& context, AppSettings& settings, FileAccessManager& fileAccess, QStringList ownedFolders,
                 QObject* parent = nullptr);

  // Groups by sortOrder ascending (stable).
  QList<TranscriptGroup*> groups() const;

  // Trims white space and line breaks; a blank name adds nothing and returns null. The new
  // group sorts after every other (largest sortOrder + 1, 1 in an empty library). On a
  // successful save the group becomes the last used one and is returned; on a failed save
  // it stays in the context but null is returned.
  TranscriptGroup* addGroup(const QString& name);
  // Trimmed name; blank keeps the old name and writes nothing (false). An unchanged name is
  // still written, stamped and saved.
  bool renameGroup(TranscriptGroup* group, const QString& name);
  // Moves the groups at `fromRows` (rows in the current order) before row `toRow` (counted
  // before the move) and renumbers every group 0..n-1.
  void moveGroups(QList<int> fromRows, int toRow);
  // Deletes the group with its sources and everything under them; then removes their app-made
  // files. Returns whether the deletion was saved.
  bool deleteGroup(TranscriptGroup* group);

  // Deletes the source with its versions; then removes its app-made files.
  bool deleteAudioSource(AudioSource* source);
  // Points the source at its moved file and saves.
  bool relocate(AudioSource* source, const QUrl& newURL);

  // Whether `path` resolves to a file inside one of the owned folders.
  bool isOwnedFile(const QString& path) const;

  // Tells whether a processing run holds the source (its transcript would be stored nowhere).
  void setInUseProbe(std::function<bool(const AudioSource*)> inUse) { m_inUse = std::move(inUse); }
  // Why the deletion would be refused now, in words for the user; empty when it would not be.
  QString deletionRefusal(const AudioSource* source) const;
  QString deletionRefusal(const TranscriptGroup* group) const;

 signals:
  // A deletion was refused; `reason` is deletionRefusal's text.
  void deletionRefused(const QString& reason);
  // Just before the objects go from the context, so selections can move away from them.
  void aboutToDeleteGroup(parlowvista::TranscriptGroup* group);
  void aboutToDeleteAudioSource(parlowvista::AudioSource* source);

 private:
  bool save(const char* failurePrefix);
  // Announces a non-empty refusal; whether there was one.
  bool refuseDeletion(const QString& reason);
  // What an app-made file is, which its removal's line names.
  enum class AppFile { youTubeAudio, cachedSamples };
  // An app-made file as it was checked.
  class CheckedFile;
  // The real path of the owned folder that `realPath` lies inside; empty when none.
  QString ownedFolderOf(const QString& realPath) const;
  QList<CheckedFile> appFilesOf(const AudioSource* source) const;
  // Removes each, printing its line.
  static void removeFiles(const QList<CheckedFile>& files);

  ModelContext& m_context;
  AppSettings& m_settings;
  FileAccessManager& m_fileAccess;
  QStringList m_ownedFolders;
  std::function<bool(const AudioSource*)> m_inUse;
};

}  // namespace parlowvista
