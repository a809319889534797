#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <stdexcept>

namespace parlowvista {

// A failure of the object store. Carries the SQLite result code when SQLite reported it.
//
// Two texts: the message says what happened in plain words, for the user ("The disk is
// full"); the details keep the technical account (SQLite's own text, its result code and the
// statement) for the log. what() is the details.
class StoreError : public std::exception {
 public:
  enum class Kind {
    openFailed,          // the file could not be opened or created
    inUse,               // another connection (another process, or this one) has the file open
    incompatibleSchema,  // the file holds another schema version, or is not a store
    statementFailed,     // a statement could not be prepared, bound or stepped
    saveFailed,          // a save was rolled back; the context still holds its changes
  };

  // `details` empty: the message is all there is to tell.
  StoreError(Kind kind, QString message, int sqliteCode = 0, QString details = {});

  Kind kind() const { return m_kind; }
  int sqliteCode() const { return m_sqliteCode; }
  const QString& message() const { return m_message; }
  QString localizedDescription() const { return m_message; }
  const QString& details() const { return m_details; }
  const char* what() const noexcept override { return m_utf8.constData(); }

  // What an SQLite result code (extended or primary) means for the library file, in plain
  // words starting in lower case ("the disk is full"); none for codes that name no cause a
  // user can act on.
  static std::optional<QString> plainReason(int sqliteCode);
  // The plain reason as a sentence of its own ("The disk is full"), else `fallback`.
  static QString plainMessage(int sqliteCode, const QString& fallback);

 private:
  Kind m_kind;
  QString m_message;
  int m_sqliteCode;
  QString m_details;
  QByteArray m_utf8;
};

}  // namespace parlowvista
