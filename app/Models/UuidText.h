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

}  // namespace parlowvista
