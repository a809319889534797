#include "Models/UuidText.h"

#include <QRandomGenerator>

namespace parlowvista {

QString uuidText(const QUuid& id) {
  return id.toString(QUuid::WithoutBraces).toUpper();
}

QUuid uuidFromText(const QString& text) {
  // QUuid also accepts braces; the canonical form has none, so refuse them.
  if (text.size() != 36) return {};
  return QUuid::fromString(text);
}

QUuid newUuid() {
  // QUuid::createUuid() asks the system generator for every id; segments are made by the
  // ten thousand, so draw from the securely seeded global generator instead.
  quint64 words[2];
  QRandomGenerator::global()->fillRange(words, 2);
  QByteArray bytes(reinterpret_cast<const char*>(words), 16);
  bytes[6] = char((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = char((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return QUuid::fromRfc4122(bytes);
}

}  // namespace parlowvista
