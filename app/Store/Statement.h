#pragma once

#include <QByteArray>
#include <QString>
#include <QUuid>
#include <optional>

struct sqlite3;
struct sqlite3_stmt;

namespace parlowvista {

// A prepared SQLite statement. Values are bound by position (1-based), never spliced into SQL
// text. Column indexes are 0-based. Errors throw StoreError(statementFailed).
class Statement {
 public:
  enum class Step { row, done };

  Statement(sqlite3* db, const char* sql);
  ~Statement();
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) = delete;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, qint64 value);
  Statement& bind(int index, int value) { return bind(index, qint64(value)); }
  Statement& bind(int index, double value);
  Statement& bind(int index, bool value) { return bind(index, qint64(value ? 1 : 0)); }
  Statement& bind(int index, const QString& text);
  Statement& bind(int index, const QByteArray& blob);
  // A UUID is stored as its 16 bytes; a null UUID binds NULL.
  Statement& bind(int index, const QUuid& id);
  Statement& bindNull(int index);
  template <typename T>
  Statement& bind(int index, const std::optional<T>& value) {
    return value ? bind(index, *value) : bindNull(index);
  }

  // Runs one step: a result row is ready, or the statement has finished.
  Step step();
  // Steps to the end, for statements without results.
  void run();
  // Makes the statement ready to run again; bindings are cleared.
  void reset();

  bool isNull(int column) const;
  qint64 int64(int column) const;
  double real(int column) const;
  QString text(int column) const;
  QByteArray blob(int column) const;
  QUuid uuid(int column) const;
  std::optional<qint64> optionalInt64(int column) const;
  std::optional<QString> optionalText(int column) const;
  std::optional<QByteArray> optionalBlob(int column) const;

 private:
  [[noreturn]] void fail(int code, const char* what) const;

  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_stmt = nullptr;
};

}  // namespace parlowvista
