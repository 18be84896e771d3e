#pragma once

#include <QChar>
#include <QDateTime>
#include <QLocale>
#include <QString>

// Texts of the date and time labels. Plain functions of a moment and a locale.
namespace clocktext
{

// The first character of a date or time format that is not a letter or a blank, which is
// the separator that format uses; fallback when there is none.
QChar separatorIn(const QString &format, QChar fallback);

// Separators of the locale's short date and time formats ("/" and ":" when they have none).
QChar dateSeparator(const QLocale &locale);
QChar timeSeparator(const QLocale &locale);

// "dd / MMM / yyyy": two-digit day, the locale's abbreviated month name without a trailing
// full stop, four-digit year, each "/" being the locale's date separator.
QString formatDate(const QDateTime &moment, const QLocale &locale);

// "HH:mm:ss" on the 24-hour clock, each ":" being the locale's time separator.
QString formatTime(const QDateTime &moment, const QLocale &locale);

} // namespace clocktext
