#pragma once

#include "Views/Library/AudioFileTypes.h"
#include "Views/Library/LibraryPrompts.h"

#include <QHash>
#include <QPointer>
#include <QUuid>
#include <QWidget>

class QLabel;
class QMimeData;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace parlowvista {

class AudioFileImportQueue;
class AudioSource;
class AudioSourceRow;
class FileAccessManager;
class LibraryActions;
class LibrarySelection;
class ModelContext;
class TranscriptGroup;

// The middle column: the sources of the selected group, newest first, with their version
// chips. Files dropped on it (text/uri-list of local audio files) or chosen with "Add Audio
// File" go to the import queue, every one of them, in order; a drag lights the column only when
// it holds such a file, and the other files of a drop are named with why they are not taken. Clicking a row selects the
// source and its newest version; a chip selects its source first, then the version. "Delete"
// asks, then deletes through LibraryActions. Rows are kept by id and updated in place.
class AudioSourcesList : public QWidget {
  Q_OBJECT
 public:
  AudioSourcesList(ModelContext& context, LibraryActions& actions, LibrarySelection& selection,
                   FileAccessManager& fileAccess, AudioFileImportQueue& importQueue,
                   LibraryPrompts prompts = LibraryPrompts::standard(), QWidget* parent = nullptr);

  // Sources of a group, newest first (stable).
  static QList<AudioSource*> sourcesNewestFirst(const TranscriptGroup* group);

  void requestDelete(AudioSource* source);
  void chooseFiles();
  // Takes the local audio files of a drop (false when there is none) and names the other files
  // of it with why they are not taken (filesRefused).
  bool acceptDrop(const QMimeData* data);

  // The rows built so far, in order: a large group gets kRowsPerTurn rows at once, then batches
  // that double, one per event-loop turn.
  QList<AudioSourceRow*> rows() const;
  static constexpr int kRowsPerTurn = 40;
  QLabel* titleLabel() const { return m_title; }
  QLabel* countLabel() const { return m_count; }
  QStackedWidget* pages() const { return m_pages; }
  QPushButton* addFileButton() const { return m_addButton; }
  bool isDragOver() const { return m_dragOver; }
  QWidget* dropOverlay() const { return m_dropOverlay; }

 signals:
  // Files of a drop that are not taken, each with why.
  void filesRefused(const QList<parlowvista::RefusedFile>& files);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QWidget* makeEmptyPage();
  void updateColors();
  void onGroupChanged();
  void syncRows();
  AudioSourceRow* makeRow(AudioSource* source);
  void updateHeader();
  void updateRowSelection();
  void selectSource(AudioSource* source);
  void setDragOver(bool over);

  LibraryActions& m_actions;
  LibrarySelection& m_selection;
  FileAccessManager& m_fileAccess;
  AudioFileImportQueue& m_importQueue;
  LibraryPrompts m_prompts;
  QLabel* m_title;
  QLabel* m_count;
  QStackedWidget* m_pages;
  QWidget* m_rowsHost;
  QVBoxLayout* m_rowsLayout;
  QPushButton* m_addButton = nullptr;
  QWidget* m_emptyPage = nullptr;
  QLabel* m_emptyBadge = nullptr;
  QWidget* m_dropOverlay;
  QLabel* m_dropIcon = nullptr;
  QHash<QUuid, AudioSourceRow*> m_rows;
  QPointer<TranscriptGroup> m_group;
  qsizetype m_sourceCount = 0;
  bool m_syncScheduled = false;
  bool m_dragOver = false;
};

}  // namespace parlowvista
