#include "Store/StoreError.h"

namespace parlowvista {

StoreError::StoreError(Kind kind, QString message, int sqliteCode)
    : m_kind(kind), m_message(std::move(message)), m_sqliteCode(sqliteCode), m_utf8(m_message.toUtf8()) {}

}  // namespace parlowvista
