#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <QUrl>

#include <functional>
#include <optional>

namespace parlowvista {

class AudioSource;

// Finds a source's audio file again on a later launch: through the source's bookmark record
// first (see FileBookmark), its stored path second; keeps the record fresh; and carries the
// state of the relocate-file sheet. Opening "security-scoped access" is a no-op on this
// platform; the URLs it would open are still recorded, as their callers rely on that.
// UI thread only.
class FileAccessManager : public QObject {
  Q_OBJECT
 public:
  explicit FileAccessManager(QObject* parent = nullptr);
  // Checks not yet started are dropped; one under way is waited for.
  ~FileAccessManager() override;

  // The file's URL when it can be reached now, else an empty URL. Never raises the relocate
  // sheet itself. Failures are printed ("Bookmark resolution failed: ...", "Failed to refresh
  // bookmark: ...") and never thrown.
  QUrl resolveURL(AudioSource* audioSource);

  // Whether resolveURL would find the file, found out on a worker thread: a file gone from a
  // large folder is looked for among all its entries, which takes a while. `done` gets the
  // answer on the UI thread later, unless `context` is gone by then; what resolveURL does to
  // the source on the way (a refreshed or new bookmark) happens then, on the UI thread. A
  // source whose path or bookmark changed meanwhile is checked again before `done` runs.
  void checkAvailability(AudioSource* audioSource, QObject* context, std::function<void(bool available)> done);

  // Points the source at its moved file: new path, new bookmark, relocate state closed, then
  // fileRelocated(). Neither saves the store nor opens access; the next resolveURL does.
  void handleRelocation(AudioSource* audioSource, const QUrl& newURL);

  AudioSource* pendingRelocate() const { return m_pendingRelocate; }
  void setPendingRelocate(AudioSource* source);
  bool showRelocateDialog() const { return m_showRelocateDialog; }
  void setShowRelocateDialog(bool show);

  // Every URL whose access this manager started, each with true; kept for the process.
  const QHash<QUrl, bool>& activeSecurityScopes() const { return m_activeSecurityScopes; }

 signals:
  void pendingRelocateChanged();
  void showRelocateDialogChanged();
  // A source was pointed at its file's new place: whoever shows or plays it looks again.
  void fileRelocated(parlowvista::AudioSource* audioSource);

 private:
  struct Lookup;
  // The slow half of resolveURL, touching no source: safe on any thread.
  static Lookup lookUp(const std::optional<QByteArray>& bookmark, const QString& originalPath);
  // The rest of resolveURL with that answer, on the UI thread.
  QUrl apply(AudioSource* audioSource, const Lookup& lookup);
  // Stands where the platform's access grant was; always granted here.
  bool startAccessingSecurityScopedResource(const QUrl& url);

  QPointer<AudioSource> m_pendingRelocate;
  bool m_showRelocateDialog = false;
  QHash<QUrl, bool> m_activeSecurityScopes;
  QThreadPool m_checks;  // a few threads of its own, so a long list never crowds out other work
};

}  // namespace parlowvista
