#pragma once

#include <QUuid>
#include <QWidget>

class QListWidget;

namespace parlowvista {

class LogLineDelegate;
class TranscriptionViewModel;

// The side panel's activity log: the view model's newest log lines, oldest first, each with
// its time. Follows the newest line whenever lines arrive (once per burst), also once the log
// is full and old lines drop off the top.
class ActivityLogView : public QWidget {
  Q_OBJECT

 public:
  explicit ActivityLogView(TranscriptionViewModel& viewModel, QWidget* parent = nullptr);

  QListWidget* list() const { return m_list; }
  // How many times a line's wrapped text has been measured: once per line and width of the list,
  // however often the list lays its rows out.
  int measuredLines() const;

 private:
  void refresh();
  void showNewest();

  TranscriptionViewModel& m_viewModel;
  QListWidget* m_list = nullptr;
  LogLineDelegate* m_delegate = nullptr;
  QUuid m_newest;
  bool m_scrollPending = false;
  bool m_following = false;  // new lines came since the user last scrolled
};

}  // namespace parlowvista
