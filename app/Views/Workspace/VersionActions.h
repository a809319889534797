#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

namespace parlowvista {

class Transcription;
class TranscriptionVersionsBar;
class TranscriptionViewModel;

// What the window does with the versions bar's menu and the reprocess dialog, kept apart
// from the window so it runs without one:
//   duplicate()              copy the current version, then select the source's newest;
//   reprocessAsNewVersion()  copy the current version under its own name, stop playback,
//                            process the copy again, select the newest;
//   reprocessOverwrite()     stop playback, process the current version again, load it
//                            again.
// The current version is the view model's working version, also while one of its
// translations is shown: a translation is never copied or processed.
// A copy that could not be made stops "new version" before anything is processed: the
// original is never overwritten in its place. Selecting goes through the bar, which tells
// the window (and so the view model) like a click would.
class VersionActions : public QObject {
  Q_OBJECT

 public:
  VersionActions(TranscriptionViewModel& viewModel, TranscriptionVersionsBar& bar, QObject* parent = nullptr);

  void duplicate();
  void reprocessAsNewVersion();
  void reprocessOverwrite();

 signals:
  // A re-processing started here has ended (successfully or not).
  void reprocessFinished();

 private:
  // Runs `then` once the re-processing just started has ended (at once when it was refused).
  void afterReprocess(std::function<void()> then);
  void selectNewest();

  TranscriptionViewModel& m_vm;
  TranscriptionVersionsBar& m_bar;
};

}  // namespace parlowvista
