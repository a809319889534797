#pragma once

#include "Store/Statement.h"
#include "Store/StoreError.h"

#include <QString>
#include <memory>

struct sqlite3;

namespace parlowvista {

// One SQLite connection: foreign keys enforced, write-ahead log, a short busy timeout so a
// locked file fails a save instead of freezing the UI thread. Not thread-safe: one owner.
class Database {
 public:
  // Opens (creating when missing) the file at `path`. Throws StoreError(openFailed).
  explicit Database(const QString& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs one or more statements without parameters. Throws StoreError(statementFailed).
  void execute(const char* sql);

  // A prepared statement of this connection; it must not outlive the connection.
  Statement prepare(const char* sql);

  const QString& path() const { return m_path; }
  sqlite3* handle() const { return m_db; }

  // The connection's last error text, for messages.
  QString lastErrorMessage() const;

 private:
  sqlite3* m_db = nullptr;
  QString m_path;
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
