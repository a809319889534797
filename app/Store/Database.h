#pragma once

#include "Store/Statement.h"
#include "Store/StoreError.h"

#include <QString>
#include <map>
#include <memory>

struct sqlite3;

namespace parlowvista {

// One SQLite connection that holds the file for itself: foreign keys enforced, an exclusive
// lock from opening to closing, so a second opener (another process, or another connection
// in this one) is refused instead of losing edits to it. Not thread-safe: one owner.
class Database {
 public:
  // Opens (creating when missing) the file at `path` and takes its exclusive lock; writes
  // nothing to the file. A lock held elsewhere is waited for up to kOpenWaitMs, long enough for
  // a copy of the program that is ending to let it go. Throws StoreError: inUse when another
  // connection still holds the file then, openFailed otherwise.
  static constexpr int kOpenWaitMs = 5000;
  explicit Database(const QString& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs one or more statements without parameters. Throws StoreError(statementFailed).
  void execute(const char* sql);

  // A prepared statement of this connection; it must not outlive the connection.
  Statement prepare(const char* sql);
  // The connection's own prepared statement of a fixed SQL text (one that lives as long as the
  // program, such as a literal), prepared on first use and kept: reset, without bindings.
  Statement& cached(const char* sql);

  // Switches the file to the write-ahead log. Done only once the file is known to be a store
  // of this program, since the switch rewrites the file's header. Throws StoreError(openFailed).
  void useWriteAheadLog();

  // Rows inserted, changed or deleted by the last statement that ran.
  int changedRows() const;

  const QString& path() const { return m_path; }
  sqlite3* handle() const { return m_db; }

  // The connection's last error text, for messages.
  QString lastErrorMessage() const;

 private:
  sqlite3* m_db = nullptr;
  QString m_path;
  std::map<const char*, Statement> m_cached;  // by the text's address
};

// Runs inside BEGIN IMMEDIATE ... COMMIT; rolls back unless commit() succeeded.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Throws StoreError(statementFailed) when the commit fails; the transaction then rolls back.
  void commit();

 private:
  Database& m_db;
  bool m_done = false;
};

}  // namespace parlowvista
