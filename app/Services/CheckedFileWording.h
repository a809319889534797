#pragma once

#include <QString>

namespace parlowvista {

// What the app says of a file it would not touch once it had looked at it: every check of an
// owner or of a file swapped under a name says it in these words.
inline QString belongsToAnotherUser(const QString& path) {
  return path + QStringLiteral(" belongs to another user");
}
inline QString replacedAfterTheCheck(const QString& path) {
  return path + QStringLiteral(" was replaced after the check");
}

}  // namespace parlowvista
