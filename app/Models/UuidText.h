#pragma once

#include <QString>
#include <QUuid>

namespace parlowvista {

// Canonical text of a UUID: upper-case hexadecimal in 8-4-4-4-12 groups, no braces.
// This is the form stored in settings, sent in translation prompts and written to JSON.
QString uuidText(const QUuid& id);

// Parses the canonical form (either letter case); a null UUID when the text is not one.
QUuid uuidFromText(const QString& text);

// A fresh random (version 4) UUID.
QUuid newUuid();

// A fresh time-ordered (version 7) UUID, for row ids: the first 48 bits are the Unix time in
// milliseconds, the next 12 a counter that keeps ids made within one millisecond in order,
// the rest random. Ids made later sort after earlier ones (within this process), so new rows
// go to the end of the store's id index instead of anywhere in it. Same text form as any
// other UUID.
QUuid newTimeOrderedUuid();

}  // namespace parlowvista
