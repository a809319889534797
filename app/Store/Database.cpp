#include "Store/Database.h"

#include <sqlite3.h>

namespace parlowvista {

namespace {

// A failure while the file is being taken into use, in plain words. The file itself has opened
// by then, so a file SQLite "cannot open" is the log it keeps beside it: the folder takes no
// file. (The superuser, whom permissions do not stop, meets an unwritable folder that way; any
// other user is told by SQLite that the folder is read-only.)
StoreError openFailure(const QString& path, int code, const QString& details) {
  QString reason;
  if ((code & 0xff) == SQLITE_CANTOPEN || code == SQLITE_READONLY_DIRECTORY)
    reason = QStringLiteral("its folder is read-only (the library keeps its log file there)");
  else
    reason = StoreError::plainReason(code).value_or(details);
  return StoreError(StoreError::Kind::openFailed, QStringLiteral("Cannot open %1: %2").arg(path, reason), code,
                    details);
}

}  // namespace

Database::Database(const QString& path) : m_path(path) {
  const int code = sqlite3_open_v2(path.toUtf8().constData(), &m_db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (code != SQLITE_OK) {
    const QString detail = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(code));
    sqlite3_close(m_db);
    m_db = nullptr;
    throw StoreError(StoreError::Kind::openFailed,
                     QStringLiteral("Cannot open %1: %2").arg(path, StoreError::plainReason(code).value_or(detail)),
                     code, QStringLiteral("SQLite open failed (%1): %2").arg(code).arg(detail));
  }
  sqlite3_extended_result_codes(m_db, 1);
  // SQLite quietly falls back to reading a file it may not write; a library that cannot
  // take a single save is refused here, in plain words, instead of failing every save later.
  if (sqlite3_db_readonly(m_db, "main") == 1) {
    sqlite3_close(m_db);
    m_db = nullptr;
    throw StoreError(StoreError::Kind::openFailed, QStringLiteral("Cannot open %1: the file is read-only").arg(path),
                     SQLITE_READONLY);
  }
  // Long enough for another program reading the file to finish, or for a copy of this one that
  // is ending (its window gone, its last jobs stopping) to close the file: a start made the
  // moment Quit was chosen opens the library rather than being told it is open elsewhere. The
  // lock taken below is then ours until the connection closes.
  sqlite3_busy_timeout(m_db, kOpenWaitMs);
  try {
    execute("PRAGMA foreign_keys = ON");
    // The exclusive locking mode keeps every lock this connection takes until it closes;
    // BEGIN EXCLUSIVE takes the strongest one at once, reading the file without writing to it.
    // An unusable file (not a database) fails here.
    execute("PRAGMA locking_mode = EXCLUSIVE");
    execute("BEGIN EXCLUSIVE");
    execute("COMMIT");
  } catch (const StoreError& error) {
    sqlite3_close(m_db);
    m_db = nullptr;
    if ((error.sqliteCode() & 0xff) == SQLITE_BUSY || (error.sqliteCode() & 0xff) == SQLITE_LOCKED) {
      throw StoreError(StoreError::Kind::inUse,
                       QStringLiteral("The library %1 is already open in another Parlowvista window or process. "
                                      "Close it there, then try again.")
                           .arg(path),
                       error.sqliteCode());
    }
    throw openFailure(path, error.sqliteCode(), error.details());
  }
  sqlite3_busy_timeout(m_db, 2000);
}

void Database::useWriteAheadLog() {
  try {
    // journal_mode answers with a row.
    prepare("PRAGMA journal_mode = WAL").run();
    execute("PRAGMA synchronous = NORMAL");
  } catch (const StoreError& error) {
    throw openFailure(m_path, error.sqliteCode(), error.details());
  }
}

int Database::changedRows() const {
  return sqlite3_changes(m_db);
}

Database::~Database() {
  m_cached.clear();  // a connection with statements left does not close
  sqlite3_close(m_db);
}

void Database::execute(const char* sql) {
  char* error = nullptr;
  const int code = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
  if (code != SQLITE_OK) {
    const QString detail = QString::fromUtf8(error ? error : sqlite3_errstr(code));
    sqlite3_free(error);
    throw StoreError(
        StoreError::Kind::statementFailed,
        StoreError::plainMessage(code, QStringLiteral("The library file could not be read or written")), code,
        QStringLiteral("SQLite failed (%1): %2 [%3]").arg(code).arg(detail, QString::fromUtf8(sql).left(80)));
  }
}

Statement Database::prepare(const char* sql) {
  return Statement(m_db, sql);
}

Statement& Database::cached(const char* sql) {
  auto found = m_cached.find(sql);
  if (found == m_cached.end()) return m_cached.emplace(sql, Statement(m_db, sql)).first->second;
  // A run that failed half-way left it where it stopped.
  found->second.reset();
  return found->second;
}

QString Database::lastErrorMessage() const {
  return QString::fromUtf8(sqlite3_errmsg(m_db));
}

// Both are kept prepared: a save of one edit is not much more than these two.
Transaction::Transaction(Database& db) : m_db(db) {
  m_db.cached("BEGIN IMMEDIATE").run();
}

Transaction::~Transaction() {
  if (!m_done) sqlite3_exec(m_db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
  m_db.cached("COMMIT").run();
  m_done = true;
}

}  // namespace parlowvista
