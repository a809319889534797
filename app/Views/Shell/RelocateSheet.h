#pragma once

#include <QDialog>
#include <QPointer>
#include <QUrl>

#include <functional>
#include <memory>

namespace parlowvista {

class AudioSource;
class FileAccessManager;
class ModelContext;
class SampleCache;
class TranscriptionViewModel;

// The sheet shown when a source's audio file cannot be found: "Locate File..." picks the file
// (one of wav, mp3, m4a, aac, flac, aiff, caf; any other is ignored and the sheet stays),
// "Skip" leaves everything as it was, "Delete Transcriptions" removes the source with all its
// versions. The sheet changes no data itself; its owner's handlers do.
class RelocateSheet : public QDialog {
  Q_OBJECT

 public:
  struct Handlers {
    std::function<void(const QUrl&)> onRelocate;
    std::function<void()> onCancel;
    std::function<void()> onDelete;
  };
  // `pickFile` shows a file picker and answers with the chosen file (not at all on cancel).
  using PickFile = std::function<void(QWidget* parent, std::function<void(const QUrl&)> chosen)>;

  RelocateSheet(const QString& filename, Handlers handlers, PickFile pickFile, QWidget* parent = nullptr);

  // Whether a located file is one the sheet takes (by its lower-case extension).
  static bool isAcceptedAudioFile(const QUrl& url);

 private:
  Handlers m_handlers;
  PickFile m_pickFile;
};

// What the main window does when the file-access manager asks for a missing file: opens the
// sheet for the pending source and carries out its choice. Deleting first lets the view model
// drop the source if it is showing it, then deletes the source (its versions go with it),
// saves, and removes the source's cached samples.
class RelocateFlow : public QObject {
  Q_OBJECT

 public:
  RelocateFlow(FileAccessManager& fileAccess, ModelContext& context, TranscriptionViewModel& viewModel,
               std::shared_ptr<SampleCache> sampleCache, QWidget* window, RelocateSheet::PickFile pickFile = {});

  RelocateSheet* sheet() const { return m_sheet; }
  void relocate(AudioSource* source, const QUrl& url);
  void skip();
  void deleteSource(AudioSource* source);

 private:
  void showIfAsked();

  FileAccessManager& m_fileAccess;
  ModelContext& m_context;
  TranscriptionViewModel& m_viewModel;
  std::shared_ptr<SampleCache> m_sampleCache;
  QPointer<QWidget> m_window;
  RelocateSheet::PickFile m_pickFile;
  QPointer<RelocateSheet> m_sheet;
};

}  // namespace parlowvista
