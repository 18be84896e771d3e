// The number rules behind the request bytes: the leading-number rule, locale reading,
// half-even rounding, the byte rule and the 12-byte request, plus the pure reply checks.
// The input is read as UTF-8, as UTF-16 and as Latin-1 text; a text with a line break is
// also taken as a start register text (before it) and a count text (after it).

#include "fuzzcheck.h"
#include "modbus/frames.h"
#include "numbers/numbers.h"

#include <QLocale>
#include <QString>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

using fuzzcheck::quoted;

namespace
{

// Full stop and comma as decimal point, a narrow no-break space as group separator, and
// digits that are not ASCII. QUORVEL_FUZZ_LOCALES (names separated by commas) picks others.
std::vector<QLocale> chosenLocales()
{
    QString names = qEnvironmentVariable("QUORVEL_FUZZ_LOCALES");
    if (names.isEmpty()) names = QStringLiteral("C,en_US,de_DE,fr_FR,ar_EG");
    std::vector<QLocale> chosen;
    for (const QString &name : names.split(u',', Qt::SkipEmptyParts))
        chosen.push_back(QLocale(name.trimmed()));
    return chosen;
}

const std::vector<QLocale> &locales()
{
    static const std::vector<QLocale> all = chosenLocales();
    return all;
}

bool asciiDigits(const QLocale &locale)
{
    return locale.zeroDigit() == QStringLiteral("0") &&
           locale.negativeSign() == QStringLiteral("-");
}

bool sameNumber(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

QString shown(double value)
{
    return QString::number(value, 'g', 17);
}

// The byte rule for a 16-bit field, case by case: a negative value never gives a byte, a
// high byte above 255 alone falls to 0.
std::array<quint8, 2> expectedWord(std::optional<qint32> value)
{
    if (!value || *value < 0) return {0, 0};
    const qint32 high = *value / 256;
    return {quint8(high <= 255 ? high : 0), quint8(*value % 256)};
}

void checkRounding(double value)
{
    const std::optional<qint32> rounded = numbers::roundHalfEven(value);
    // Half-even rounding keeps -2147483648.5 in range and takes 2147483647.5 out of it.
    if (std::isfinite(value) && value >= -2147483648.5 && value < 2147483647.5) {
        FUZZ_CHECK(rounded.has_value(), shown(value));
        const double distance = std::fabs(double(*rounded) - value);
        FUZZ_CHECK(distance <= 0.5, shown(value) + QStringLiteral(" -> %1").arg(*rounded));
        if (distance == 0.5)
            FUZZ_CHECK(*rounded % 2 == 0, shown(value) + QStringLiteral(" -> %1").arg(*rounded));
    } else {
        FUZZ_CHECK(!rounded.has_value(), shown(value));
    }
}

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

// A plain decimal number: optional sign, digits, optionally a full stop and more digits.
bool isPlainDecimal(const QString &text)
{
    int pos = 0;
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) ++pos;
    int digits = 0;
    bool point = false;
    for (; pos < text.size(); ++pos) {
        if (text[pos] >= u'0' && text[pos] <= u'9') {
            ++digits;
        } else if (text[pos] == u'.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digits > 0 && text.size() <= 400;
}

void checkLeadingNumber(const QString &text)
{
    const double value = numbers::readLeadingNumber(text);
    FUZZ_CHECK(!std::isnan(value), quoted(text));
    checkRounding(value);

    // Leading blanks are skipped, and a character that cannot continue a number ends it.
    FUZZ_CHECK(sameNumber(numbers::readLeadingNumber(QStringLiteral(" \t") + text), value),
               quoted(text));
    FUZZ_CHECK(sameNumber(numbers::readLeadingNumber(text + QStringLiteral("x7")), value),
               quoted(text));

    // With the blanks taken out, a plain decimal text reads as the C library reads it.
    QString packed;
    for (const QChar c : text)
        if (!isBlank(c)) packed += c;
    if (isPlainDecimal(packed)) {
        const QByteArray latin = packed.toLatin1();
        const double expected = std::strtod(latin.constData(), nullptr);
        FUZZ_CHECK(sameNumber(value, expected),
                   quoted(text) + QStringLiteral(" read as ") + shown(value));
    }

    // "&H" and "&O" integers, between the blanks that the rule skips.
    qsizetype first = 0, end = text.size();
    while (first < end && isBlank(text[first]))
        ++first;
    while (end > first && isBlank(text[end - 1]))
        --end;
    const QString trimmed = text.mid(first, end - first);
    if (trimmed.size() > 2 && trimmed.size() <= 14 && trimmed[0] == u'&') {
        const QChar kind = trimmed[1].toUpper();
        const int radix = kind == u'H' ? 16 : kind == u'O' ? 8 : 0;
        const QString digits = trimmed.mid(2);
        const bool plain = radix && std::all_of(digits.begin(), digits.end(), [radix](QChar c) {
                               const QString valid = radix == 16
                                                         ? QStringLiteral("0123456789abcdefABCDEF")
                                                         : QStringLiteral("01234567");
                               return valid.contains(c);
                           });
        if (plain) {
            const double expected =
                double(std::strtoull(digits.toLatin1().constData(), nullptr, radix));
            FUZZ_CHECK(value == expected,
                       quoted(text) + QStringLiteral(" read as ") + shown(value));
        }
    }
}

void checkLocaleNumber(const QString &text, const QLocale &locale)
{
    const std::optional<double> value = numbers::readLocaleNumber(text, locale);
    if (text.trimmed().isEmpty()) FUZZ_CHECK(!value.has_value(), quoted(text));
    if (!value) return;
    FUZZ_CHECK(std::isfinite(*value), quoted(text));
    checkRounding(*value);

    // What the locale writes, it reads back. Qt 6.4 cannot read its own Arabic negative
    // numbers and exponents (a letter mark before the sign), so native digits are left out.
    if (asciiDigits(locale)) {
        const QString written = locale.toString(*value, 'g', QLocale::FloatingPointShortest);
        const std::optional<double> again = numbers::readLocaleNumber(written, locale);
        FUZZ_CHECK(again && *again == *value, quoted(text) + QStringLiteral(" in ") +
                                                  locale.name() + QStringLiteral(" written as ") +
                                                  quoted(written));
    }

    // Plain digits mean the same in every locale that uses ASCII digits.
    const QString trimmed = text.trimmed();
    if (asciiDigits(locale) && !trimmed.isEmpty() && trimmed.size() <= 15 &&
        std::all_of(trimmed.begin(), trimmed.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        FUZZ_CHECK(*value == trimmed.toDouble(),
                   quoted(text) + QStringLiteral(" in ") + locale.name());
}

void checkRequest(const QString &start, const QString &count, const QLocale &locale)
{
    const frames::Request request = frames::buildReadRequest(start, count, locale);
    const QString context = quoted(start) + QStringLiteral(", ") + quoted(count) +
                            QStringLiteral(" in ") + locale.name();

    static constexpr std::array<quint8, 8> fixed = {0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03};
    FUZZ_CHECK(std::equal(fixed.begin(), fixed.end(), request.begin()), context);

    const std::array<quint8, 2> address = frames::startAddressBytes(start, locale);
    const std::array<quint8, 2> quantity = frames::quantityBytes(count);
    FUZZ_CHECK(request[8] == address[0] && request[9] == address[1], context);
    FUZZ_CHECK(request[10] == quantity[0] && request[11] == quantity[1], context);
    FUZZ_CHECK(frames::requestedQuantity(request) == (quantity[0] << 8 | quantity[1]), context);

    const std::optional<qint32> q = numbers::roundHalfEven(numbers::readLeadingNumber(count));
    FUZZ_CHECK(quantity == frames::splitWord(q), context);
    FUZZ_CHECK(quantity == expectedWord(q), context);

    // The start address is the register number less one; with a full stop as decimal
    // point the locale's text form loses nothing, otherwise only whole numbers are safe.
    const std::optional<double> startNumber = numbers::readLocaleNumber(start, locale);
    if (!startNumber) {
        FUZZ_CHECK(address[0] == 0 && address[1] == 0, context);
    } else {
        const double a = *startNumber - 1;
        const bool dot = asciiDigits(locale) && locale.decimalPoint() == QStringLiteral(".");
        // A whole register number of a 16-bit address is safe in every locale.
        if (dot || (a == std::floor(a) && a >= 0 && a <= 65535))
            FUZZ_CHECK(address == expectedWord(numbers::roundHalfEven(a)),
                       context + QStringLiteral(" address %1").arg(shown(a)));
    }
}

void checkReplyRules(const QByteArray &bytes)
{
    const frames::FrameCheck check = frames::checkFrame(bytes);
    const int size = int(bytes.size());
    if (size < 7) {
        FUZZ_CHECK(check.status == frames::FrameStatus::Incomplete, fuzzcheck::hex(bytes.left(16)));
    } else {
        const int length = quint8(bytes[4]) * 256 + quint8(bytes[5]);
        if (length < 2 || length > 254)
            FUZZ_CHECK(check.status == frames::FrameStatus::Malformed,
                       fuzzcheck::hex(bytes.left(16)));
        else if (size < 6 + length)
            FUZZ_CHECK(check.status == frames::FrameStatus::Incomplete,
                       fuzzcheck::hex(bytes.left(16)));
        else
            FUZZ_CHECK(check.status == frames::FrameStatus::Whole && check.length == 6 + length,
                       fuzzcheck::hex(bytes.left(16)));
    }

    std::vector<int> quantities = {0, 1, 2, 29, 125, 65535};
    if (size > 8) quantities.push_back(quint8(bytes[8]) / 2);
    for (const int q : quantities) {
        const bool expected =
            size >= 9 && quint8(bytes[7]) == 3 && quint8(bytes[8]) == 2 * q && size >= 9 + 2 * q;
        FUZZ_CHECK(frames::carriesRegisters(bytes, q) == expected, fuzzcheck::hex(bytes.left(16)));
    }

    for (int i = 0; i + 1 < std::min(size, 64); i += 2) {
        const quint8 high = quint8(bytes[i]), low = quint8(bytes[i + 1]);
        FUZZ_CHECK(frames::registerText(high, low) == QString::number(high * 256 + low),
                   fuzzcheck::hex(bytes.mid(i, 2)));
        FUZZ_CHECK(frames::frameLengthText(high) == QString::number(high + 9),
                   fuzzcheck::hex(bytes.mid(i, 1)));
    }
}

void checkRowCount(double count)
{
    for (const int asked : {0, 1, 3, 29, 30, 125, 65535}) {
        const int rows = frames::decodedRowCount(count, asked);
        FUZZ_CHECK(rows >= 0 && rows <= std::min(asked, frames::LastRow),
                   shown(count) + QStringLiteral(" asked %1 rows %2").arg(asked).arg(rows));
        if (count >= 1 && count == std::floor(count) && count < 1e9)
            FUZZ_CHECK(rows == std::min({int(count), asked, frames::LastRow}),
                       shown(count) + QStringLiteral(" asked %1 rows %2").arg(asked).arg(rows));
    }
}

void checkText(const QString &text)
{
    checkLeadingNumber(text);
    checkRowCount(numbers::readLeadingNumber(text));
    for (const QLocale &locale : locales())
        checkLocaleNumber(text, locale);

    // A line break parts the start register text from the count text.
    const qsizetype newline = text.indexOf(u'\n');
    const QString start = newline < 0 ? text : text.left(newline);
    const QString count = newline < 0 ? text : text.mid(newline + 1);
    if (newline >= 0) {
        checkLeadingNumber(start);
        checkLeadingNumber(count);
    }
    for (const QLocale &locale : locales())
        checkRequest(start, count, locale);
    FUZZ_CHECK(frames::buildReadRequest(start, count) ==
                   frames::buildReadRequest(start, count, QLocale()),
               quoted(start) + QStringLiteral(", ") + quoted(count));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto *chars = reinterpret_cast<const char *>(data);
    const QByteArray bytes(chars, qsizetype(size));

    checkText(QString::fromUtf8(bytes));
    std::vector<char16_t> units(size / 2);
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    checkText(QString::fromUtf16(units.data(), qsizetype(units.size())));
    checkText(QString::fromLatin1(bytes));

    // Raw bytes as doubles reach values no text would give.
    for (size_t at = 0; at + sizeof(double) <= size; at += sizeof(double)) {
        double value = 0;
        std::memcpy(&value, data + at, sizeof value);
        checkRounding(value);
        checkRowCount(value);
    }
    checkReplyRules(bytes);
    return 0;
}
