#pragma once

#include <QDateTime>
#include <QString>
#include <QUuid>

namespace parlowvista {

// One line of the activity log.
struct LogEntry {
  QUuid id;             // fresh per entry; the row identity in the log list
  QDateTime timestamp;  // when it was logged
  QString message;
};

}  // namespace parlowvista
