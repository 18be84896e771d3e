#include "numbers/numbers.h"

#include <QByteArray>
#include <QLocale>
#include <algorithm>
#include <cmath>
#include <limits>

namespace numbers
{

namespace
{

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

// Digits of an "&H"/"&O" integer, blanks skipped; stops at the first other character.
double readRadixInteger(const QString &text, int pos, int radix)
{
    double value = 0;
    for (; pos < text.size(); ++pos) {
        const QChar c = text.at(pos);
        if (isBlank(c)) continue;
        const int digit = c.isDigit() ? c.digitValue() : (c.toLower().unicode() - u'a' + 10);
        if (c.unicode() > 127 || digit < 0 || digit >= radix) break;
        value = value * radix + digit;
    }
    return value;
}

} // namespace

double readLeadingNumber(const QString &text)
{
    int pos = 0;
    const int size = int(text.size());
    auto skipBlanks = [&] {
        while (pos < size && isBlank(text.at(pos)))
            ++pos;
    };
    skipBlanks();
    if (pos + 1 < size && text.at(pos) == u'&') {
        const QChar kind = text.at(pos + 1).toUpper();
        if (kind == u'H') return readRadixInteger(text, pos + 2, 16);
        if (kind == u'O') return readRadixInteger(text, pos + 2, 8);
        return 0;
    }

    // Collect the number's characters in C form, then let Qt convert them.
    QByteArray number;
    if (pos < size && (text.at(pos) == u'+' || text.at(pos) == u'-'))
        number += char(text.at(pos++).unicode());
    bool seenPoint = false, seenDigit = false, seenNonZero = false;
    // One more than the power of ten of the first nonzero digit: tells an overflow from an
    // underflow when the conversion gives up.
    qint64 magnitude = 0;
    for (; pos < size; ++pos) {
        const QChar c = text.at(pos);
        if (isBlank(c)) continue;
        if (c >= u'0' && c <= u'9') {
            number += char(c.unicode());
            seenDigit = true;
            if (seenNonZero || c != u'0') {
                if (!seenPoint) ++magnitude;
                seenNonZero = true;
            } else if (seenPoint) {
                --magnitude;
            }
        } else if (c == u'.' && !seenPoint) {
            number += '.';
            seenPoint = true;
        } else {
            break;
        }
    }
    if (!seenDigit) return 0;
    int exponent = 0;
    if (pos < size) {
        const QChar marker = text.at(pos).toUpper();
        if (marker == u'E' || marker == u'D') {
            int sign = 1;
            bool signAllowed = true, seenExponentDigit = false;
            for (++pos; pos < size; ++pos) {
                const QChar c = text.at(pos);
                if (isBlank(c)) continue;
                if (signAllowed && (c == u'+' || c == u'-')) {
                    sign = c == u'-' ? -1 : 1;
                } else if (c >= u'0' && c <= u'9') {
                    // Saturate: past this any double is an infinity or zero anyway.
                    exponent = std::min(exponent * 10 + (c.unicode() - u'0'), 100000);
                    seenExponentDigit = true;
                } else {
                    break;
                }
                signAllowed = false;
            }
            exponent = seenExponentDigit ? sign * exponent : 0;
            if (seenExponentDigit) number += 'e' + QByteArray::number(exponent);
        }
    }
    // Qt's conversion ignores the locale; it refuses only what lies out of range, which comes
    // back as an infinity (a failure for later steps) or as 0.
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (ok) return value;
    const double outOfRange =
        seenNonZero && magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return number.startsWith('-') ? -outOfRange : outOfRange;
}

std::optional<double> readLocaleNumber(const QString &text, const QLocale &locale)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) return std::nullopt;
    if (trimmed.size() > 2 && trimmed.at(0) == u'&') {
        const QChar kind = trimmed.at(1).toUpper();
        const int radix = kind == u'H' ? 16 : kind == u'O' ? 8 : 0;
        bool ok = false;
        const qlonglong value = radix ? trimmed.mid(2).toLongLong(&ok, radix) : 0;
        if (ok && value >= 0) return double(value);
        return std::nullopt;
    }
    bool ok = false;
    const double value = locale.toDouble(trimmed, &ok);
    if (!ok || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<double> readLocaleNumber(const QString &text)
{
    return readLocaleNumber(text, QLocale());
}

std::optional<qint32> roundHalfEven(double value)
{
    if (!std::isfinite(value)) return std::nullopt;
    const double lower = std::floor(value);
    const double fraction = value - lower;
    double rounded = lower;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(lower, 2.0) != 0.0)) rounded = lower + 1;
    if (rounded < -2147483648.0 || rounded > 2147483647.0) return std::nullopt;
    return qint32(rounded);
}

} // namespace numbers
