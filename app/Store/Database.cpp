#include "Store/Database.h"

#include <sqlite3.h>

namespace parlowvista {

Database::Database(const QString& path) : m_path(path) {
  const int code = sqlite3_open_v2(path.toUtf8().constData(), &m_db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (code != SQLITE_OK) {
    const QString detail = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(code));
    sqlite3_close(m_db);
    m_db = nullptr;
    throw StoreError(StoreError::Kind::openFailed, QStringLiteral("Cannot open %1: %2").arg(path, detail), code);
  }
  sqlite3_extended_result_codes(m_db, 1);
  sqlite3_busy_timeout(m_db, 2000);
  try {
    execute("PRAGMA foreign_keys = ON");
    // journal_mode answers with a row; an unusable file (not a database) fails here.
    prepare("PRAGMA journal_mode = WAL").run();
    execute("PRAGMA synchronous = NORMAL");
  } catch (const StoreError& error) {
    sqlite3_close(m_db);
    m_db = nullptr;
    throw StoreError(StoreError::Kind::openFailed, QStringLiteral("Cannot open %1: %2").arg(path, error.message()),
                     error.sqliteCode());
  }
}

Database::~Database() {
  sqlite3_close(m_db);
}

void Database::execute(const char* sql) {
  char* error = nullptr;
  const int code = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
  if (code != SQLITE_OK) {
    const QString detail = QString::fromUtf8(error ? error : sqlite3_errstr(code));
    sqlite3_free(error);
    throw StoreError(StoreError::Kind::statementFailed, QStringLiteral("SQLite failed (%1): %2").arg(code).arg(detail),
                     code);
  }
}

Statement Database::prepare(const char* sql) {
  return Statement(m_db, sql);
}

QString Database::lastErrorMessage() const {
  return QString::fromUtf8(sqlite3_errmsg(m_db));
}

Transaction::Transaction(Database& db) : m_db(db) {
  m_db.execute("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (!m_done) sqlite3_exec(m_db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
  m_db.execute("COMMIT");
  m_done = true;
}

}  // namespace parlowvista
