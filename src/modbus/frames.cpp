#include "modbus/frames.h"

#include <QLocale>
#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace frames
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
    bool seenPoint = false, seenDigit = false;
    for (; pos < size; ++pos) {
        const QChar c = text.at(pos);
        if (isBlank(c)) continue;
        if (c >= u'0' && c <= u'9') {
            number += char(c.unicode());
            seenDigit = true;
        } else if (c == u'.' && !seenPoint) {
            number += '.';
            seenPoint = true;
        } else {
            break;
        }
    }
    if (!seenDigit) return 0;
    if (pos < size) {
        const QChar marker = text.at(pos).toUpper();
        if (marker == u'E' || marker == u'D') {
            int sign = 1, exponent = 0;
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
            if (seenExponentDigit) number += 'e' + QByteArray::number(sign * exponent);
        }
    }
    // Out of range comes back as an infinity (a failure for later steps) or as 0.
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t(nullptr));
    return strtod_l(number.constData(), nullptr, cLocale);
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

quint8 byteFrom(std::optional<qint64> value)
{
    return value && *value >= 0 && *value <= 255 ? quint8(*value) : 0;
}

std::array<quint8, 2> splitWord(std::optional<qint32> value)
{
    if (!value) return {0, 0};
    // Division truncates toward zero and the remainder keeps the sign, so a negative
    // value never yields a byte.
    return {byteFrom(*value / 256), byteFrom(*value % 256)};
}

std::array<quint8, 2> startAddressBytes(const QString &startText, const QLocale &locale)
{
    const std::optional<double> start = readLocaleNumber(startText, locale);
    if (!start) return {0, 0};
    // The register number counts from 1, the address from 0. The address goes through the
    // locale's text form and back through the leading-number rule, so with a comma as
    // decimal separator a fraction is dropped there.
    // Written with ASCII digits and only the decimal point taken from the locale, since the
    // leading-number rule reads ASCII digits alone (some locales write native digits).
    QString addressText = QLocale::c().toString(*start - 1, 'g', QLocale::FloatingPointShortest);
    addressText.replace(u'.', locale.decimalPoint());
    return splitWord(roundHalfEven(readLeadingNumber(addressText)));
}

std::array<quint8, 2> quantityBytes(const QString &countText)
{
    return splitWord(roundHalfEven(readLeadingNumber(countText)));
}

Request buildReadRequest(const QString &startText, const QString &countText, const QLocale &locale)
{
    const auto address = startAddressBytes(startText, locale);
    const auto quantity = quantityBytes(countText);
    return {0x00, 0x00, 0x00,       0x00,       0x00,        0x06,
            0x01, 0x03, address[0], address[1], quantity[0], quantity[1]};
}

Request buildReadRequest(const QString &startText, const QString &countText)
{
    return buildReadRequest(startText, countText, QLocale());
}

Request withTransaction(Request request, quint16 transaction)
{
    request[0] = quint8(transaction >> 8);
    request[1] = quint8(transaction & 0xFF);
    return request;
}

int requestedQuantity(const Request &request)
{
    return (request[10] << 8) | request[11];
}

QString registerText(quint8 high, quint8 low)
{
    return QString::number((high << 8) | low);
}

QString frameLengthText(quint8 byteCount)
{
    return QString::number(int(byteCount) + 9);
}

FrameCheck checkFrame(const QByteArray &waiting)
{
    if (waiting.size() < MbapHeaderSize) return {};
    // The length field counts the unit identifier and everything after it.
    const int length = (quint8(waiting[4]) << 8) | quint8(waiting[5]);
    if (length < MinLengthField || length > MaxLengthField) return {FrameStatus::Malformed, 0};
    const int total = 6 + length;
    if (waiting.size() < total) return {};
    return {FrameStatus::Whole, total};
}

bool carriesRegisters(const QByteArray &frame, int quantity)
{
    if (frame.size() < MbapHeaderSize + 2) return false;
    const int function = quint8(frame[7]);
    const int byteCount = quint8(frame[8]);
    return function == 0x03 && byteCount == 2 * quantity &&
           frame.size() >= MbapHeaderSize + 2 + byteCount;
}

int decodedRowCount(double count, int quantityAsked)
{
    // The row loop runs while 2 * row + 8 <= 2 * count + 9, i.e. for rows up to count + 0.5.
    if (!(count >= 0.5)) return 0;
    const double rows = std::floor(count - 0.5) + 1;
    return int(std::min({rows, double(quantityAsked), double(LastRow)}));
}

} // namespace frames
