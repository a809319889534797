#pragma once

#include <QObject>

class QSocketNotifier;

namespace parlowvista {

// SIGTERM (a shutdown or a logout), SIGHUP (its terminal closed) and SIGINT (Ctrl+C), turned
// into received() on the UI thread, so that the application can end as Quit ends it rather
// than at once, with the last edits unsaved.
//
// The handlers only write the signal's number into one end of a socket pair, which is safe
// whatever the signal interrupted and on whichever thread it lands (the kernel offers a signal
// sent to the process to its main thread first, which does not block these); a notifier reads
// the other end in the event loop. SA_RESTART: a system call a handler interrupted goes on.
// The signals are not blocked in the other threads, as that mask would be handed down to every
// program they start. While a watcher lives, none of the three ends the process, however often
// it comes: one that arrives while the application is ending is read by nobody. Once it is
// gone, they end the process again.
//
// One watcher at a time (the socket pair is the process's own, made once); UI thread.
class TerminationSignals : public QObject {
  Q_OBJECT

 public:
  explicit TerminationSignals(QObject* parent = nullptr);
  // The signals take their default action again.
  ~TerminationSignals() override;
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // The first of these signals the process received while watched, 0 when none.
  static int firstReceived();
  // "SIGTERM", "SIGHUP" or "SIGINT".
  static const char* name(int signal);

 signals:
  // One per signal received, in order.
  void received(int signal);

 private:
  void readSignals();

  QSocketNotifier* m_notifier = nullptr;
};

}  // namespace parlowvista
