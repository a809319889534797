#pragma once

#include <QUuid>
#include <QWidget>

class QListWidget;

namespace parlowvista {

class TranscriptionViewModel;

// The side panel's activity log: the view model's newest log lines, oldest first, each with
// its time. Follows the newest line whenever one arrives, also once the log is full and old
// lines drop off the top.
class ActivityLogView : public QWidget {
  Q_OBJECT

 public:
  explicit ActivityLogView(TranscriptionViewModel& viewModel, QWidget* parent = nullptr);

  QListWidget* list() const { return m_list; }

 private:
  void refresh();

  TranscriptionViewModel& m_viewModel;
  QListWidget* m_list = nullptr;
  QUuid m_newest;
};

}  // namespace parlowvista
