#include "Models/UuidText.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QtEndian>

#include <atomic>

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

QUuid newTimeOrderedUuid() {
  // Milliseconds and the 12-bit counter as one number: the next id takes the clock's value
  // when the clock has moved on, else the last one plus one (running ahead of the clock by
  // at most the ids made too fast, and never backwards when the clock is set back).
  static std::atomic<quint64> last{0};
  const quint64 now = quint64(QDateTime::currentMSecsSinceEpoch()) << 12;
  quint64 previous = last.load(std::memory_order_relaxed);
  quint64 next;
  do {
    next = std::max(now, previous + 1);
  } while (!last.compare_exchange_weak(previous, next, std::memory_order_relaxed));

  const quint64 milliseconds = next >> 12;
  const quint64 counter = next & 0x0FFF;
  quint64 random;
  QRandomGenerator::global()->fillRange(&random, 1);
  uchar bytes[16];
  qToBigEndian<quint64>((milliseconds << 16) | 0x7000 | counter, bytes);                       // version 7
  qToBigEndian<quint64>((random & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL, bytes + 8);  // RFC variant
  return QUuid::fromRfc4122(QByteArrayView(bytes, 16));
}

}  // namespace parlowvista
