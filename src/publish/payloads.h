#pragma once

#include "snapshot/shownvalues.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

// What goes out to the broker, as plain functions.
namespace publish
{

// "A/100" for a value cell, below the prefix ("A/7/i100" for an input register of unit 7);
// nothing for a label that cannot be one topic level (empty, or holding '/', '+', '#').
std::optional<QString> registerTopic(const snapshot::ShownValue &value);

// ISO 8601 with milliseconds and the UTC offset: 2026-12-09T08:14:32.123+01:00.
QString isoTime(const QDateTime &time);

// The cell's text as a JSON number (hexadecimal as its value), or "null" when it holds
// none, is not current, or is nan or an infinity.
QByteArray jsonNumber(const snapshot::ShownValue &value);

// {"time":"...","values":{"A 100":25,"A 101":null,...}} in grid order. A name shown twice
// (two slots reading the same register) appears once, with a current value if either has one.
QByteArray valuesJson(const QDateTime &time, const std::vector<snapshot::ShownValue> &values);

} // namespace publish
