#include "Store/StoreError.h"

#include <sqlite3.h>

namespace parlowvista {

StoreError::StoreError(Kind kind, QString message, int sqliteCode, QString details)
    : m_kind(kind),
      m_message(std::move(message)),
      m_sqliteCode(sqliteCode),
      m_details(details.isEmpty() ? m_message : std::move(details)),
      m_utf8(m_details.toUtf8()) {}

std::optional<QString> StoreError::plainReason(int sqliteCode) {
  // The folder case first: its primary code is the read-only file's.
  if (sqliteCode == SQLITE_READONLY_DIRECTORY) return QStringLiteral("the library folder is read-only");
  switch (sqliteCode & 0xff) {
    case SQLITE_FULL: return QStringLiteral("the disk is full");
    case SQLITE_READONLY: return QStringLiteral("the library file is read-only");
    case SQLITE_CORRUPT: return QStringLiteral("the library file is damaged");
    case SQLITE_NOTADB: return QStringLiteral("the file is not a database (it is damaged, or another program's file)");
    case SQLITE_IOERR: return QStringLiteral("the disk could not read or write the library file");
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return QStringLiteral("another program is using the library file");
    case SQLITE_CANTOPEN: return QStringLiteral("the library file could not be opened or created");
    case SQLITE_NOMEM: return QStringLiteral("the computer ran out of memory");
    default: return std::nullopt;
  }
}

QString StoreError::plainMessage(int sqliteCode, const QString& fallback) {
  QString reason = plainReason(sqliteCode).value_or(QString());
  if (reason.isEmpty()) return fallback;
  reason[0] = reason[0].toUpper();
  return reason;
}

}  // namespace parlowvista
