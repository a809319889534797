#include "Store/Statement.h"

#include "Store/StoreError.h"

#include <sqlite3.h>

#include <cstring>

namespace parlowvista {

Statement::Statement(sqlite3* db, const char* sql) : m_db(db) {
  const int code = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr);
  if (code != SQLITE_OK) fail(code, "prepare");
}

Statement::~Statement() {
  sqlite3_finalize(m_stmt);
}

Statement::Statement(Statement&& other) noexcept : m_db(other.m_db), m_stmt(other.m_stmt) {
  other.m_stmt = nullptr;
}

void Statement::fail(int code, const char* what) const {
  const QString detail = QString::fromUtf8(sqlite3_errmsg(m_db));
  const QString sql = m_stmt ? QString::fromUtf8(sqlite3_sql(m_stmt)).left(80) : QString();
  throw StoreError(StoreError::Kind::statementFailed,
                   StoreError::plainMessage(code, QStringLiteral("The library file could not be read or written")),
                   code, QStringLiteral("SQLite %1 failed (%2): %3 [%4]").arg(what).arg(code).arg(detail, sql));
}

Statement& Statement::bind(int index, qint64 value) {
  const int code = sqlite3_bind_int64(m_stmt, index, value);
  if (code != SQLITE_OK) fail(code, "bind");
  return *this;
}

Statement& Statement::bind(int index, double value) {
  const int code = sqlite3_bind_double(m_stmt, index, value);
  if (code != SQLITE_OK) fail(code, "bind");
  return *this;
}

Statement& Statement::bind(int index, const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  const int code = sqlite3_bind_text(m_stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
  if (code != SQLITE_OK) fail(code, "bind");
  return *this;
}

Statement& Statement::bind(int index, const QByteArray& blob) {
  // An empty array still binds a zero-length blob, not NULL: present-but-empty stays present.
  const int code =
      sqlite3_bind_blob(m_stmt, index, blob.constData() ? blob.constData() : "", int(blob.size()), SQLITE_TRANSIENT);
  if (code != SQLITE_OK) fail(code, "bind");
  return *this;
}

Statement& Statement::bind(int index, const QUuid& id) {
  if (id.isNull()) return bindNull(index);
  const QByteArray bytes = id.toRfc4122();
  const int code = sqlite3_bind_blob(m_stmt, index, bytes.constData(), 16, SQLITE_TRANSIENT);
  if (code != SQLITE_OK) fail(code, "bind");
  return *this;
}

Statement& Statement::bindNull(int index) {
  const int code = sqlite3_bind_null(m_stmt, index);
  if (code != SQLITE_OK) fail(code, "bind");
  return *this;
}

Statement::Step Statement::step() {
  const int code = sqlite3_step(m_stmt);
  if (code == SQLITE_ROW) return Step::row;
  if (code == SQLITE_DONE) return Step::done;
  fail(code, "step");
}

void Statement::run() {
  while (step() == Step::row) {
  }
}

void Statement::reset() {
  sqlite3_reset(m_stmt);
  sqlite3_clear_bindings(m_stmt);
}

bool Statement::isNull(int column) const {
  return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

qint64 Statement::int64(int column) const {
  return sqlite3_column_int64(m_stmt, column);
}

double Statement::real(int column) const {
  return sqlite3_column_double(m_stmt, column);
}

QString Statement::text(int column) const {
  const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
  return QString::fromUtf8(data, sqlite3_column_bytes(m_stmt, column));
}

QByteArray Statement::blob(int column) const {
  const auto* data = static_cast<const char*>(sqlite3_column_blob(m_stmt, column));
  const int size = sqlite3_column_bytes(m_stmt, column);
  return data ? QByteArray(data, size) : QByteArray("", 0);
}

QUuid Statement::uuid(int column) const {
  if (sqlite3_column_type(m_stmt, column) != SQLITE_BLOB || sqlite3_column_bytes(m_stmt, column) != 16) return {};
  const auto* data = static_cast<const char*>(sqlite3_column_blob(m_stmt, column));
  return QUuid::fromRfc4122(QByteArrayView(data, 16));
}

std::optional<qint64> Statement::optionalInt64(int column) const {
  if (isNull(column)) return std::nullopt;
  return int64(column);
}

std::optional<QString> Statement::optionalText(int column) const {
  if (isNull(column)) return std::nullopt;
  return text(column);
}

std::optional<QByteArray> Statement::optionalBlob(int column) const {
  if (isNull(column)) return std::nullopt;
  return blob(column);
}

}  // namespace parlowvista
