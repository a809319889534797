#pragma once

#include <QByteArray>
#include <QString>
#include <stdexcept>

namespace parlowvista {

// A failure of the object store. Carries the SQLite result code when SQLite reported it.
class StoreError : public std::exception {
 public:
  enum class Kind {
    openFailed,          // the file could not be opened or created
    inUse,               // another connection (another process, or this one) has the file open
    incompatibleSchema,  // the file holds another schema version, or is not a store
    statementFailed,     // a statement could not be prepared, bound or stepped
    saveFailed,          // a save was rolled back; the context still holds its changes
  };

  StoreError(Kind kind, QString message, int sqliteCode = 0);

  Kind kind() const { return m_kind; }
  int sqliteCode() const { return m_sqliteCode; }
  const QString& message() const { return m_message; }
  QString localizedDescription() const { return m_message; }
  const char* what() const noexcept override { return m_utf8.constData(); }

 private:
  Kind m_kind;
  QString m_message;
  int m_sqliteCode;
  QByteArray m_utf8;
};

}  // namespace parlowvista
