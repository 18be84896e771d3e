#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

class QLocale;

// Number rules for operator texts. Plain functions: no widgets, no sockets.
namespace numbers
{

// The leading number of a text: leading blanks, an optional sign, digits with at most one
// full stop, an optional E or D exponent; blanks and tabs inside the number are skipped;
// "&H" and "&O" start a hexadecimal or octal integer. Reading stops at the first other
// character. 0 when there is no number. Never fails; ignores the locale.
double readLeadingNumber(const QString &text);

// A whole text read as a number in the given locale's format (blanks around it allowed,
// group separators accepted). Fails on the empty text and on anything that is not a number.
std::optional<double> readLocaleNumber(const QString &text, const QLocale &locale);
// The same in the default locale, which is the user's unless something set another.
std::optional<double> readLocaleNumber(const QString &text);

// Nearest integer, a tie going to the even neighbour; fails outside the signed 32-bit range.
std::optional<qint32> roundHalfEven(double value);

} // namespace numbers
