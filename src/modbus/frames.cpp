#include "modbus/frames.h"

#include "numbers/numbers.h"

#include <QLocale>
#include <algorithm>
#include <cmath>
#include <limits>

namespace frames
{

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
    const std::optional<double> start = numbers::readLocaleNumber(startText, locale);
    if (!start) return {0, 0};
    // The register number counts from 1, the address from 0. The address goes through the
    // locale's text form and back through the leading-number rule, so with a comma as
    // decimal separator a fraction is dropped there.
    // Written with ASCII digits and only the decimal point taken from the locale, since the
    // leading-number rule reads ASCII digits alone (some locales write native digits).
    QString addressText = QLocale::c().toString(*start - 1, 'g', QLocale::FloatingPointShortest);
    addressText.replace(u'.', locale.decimalPoint());
    return splitWord(numbers::roundHalfEven(numbers::readLeadingNumber(addressText)));
}

std::array<quint8, 2> quantityBytes(const QString &countText, int wordsPerValue)
{
    const std::optional<qint32> count =
        numbers::roundHalfEven(numbers::readLeadingNumber(countText));
    if (!count) return {0, 0};
    const qint64 quantity = qint64(*count) * wordsPerValue;
    if (quantity < std::numeric_limits<qint32>::min() ||
        quantity > std::numeric_limits<qint32>::max())
        return {0, 0};
    return splitWord(qint32(quantity));
}

Request buildReadRequest(const QString &startText, const QString &countText,
                         const valueformat::SlotFormat &format, const QLocale &locale)
{
    const auto address = startAddressBytes(startText, locale);
    const auto quantity = quantityBytes(countText, valueformat::wordsPerValue(format));
    return {0x00,        0x00,
            0x00,        0x00,
            0x00,        0x06,
            format.unit, valueformat::functionCode(format.object),
            address[0],  address[1],
            quantity[0], quantity[1]};
}

Request buildReadRequest(const QString &startText, const QString &countText, const QLocale &locale)
{
    return buildReadRequest(startText, countText, valueformat::SlotFormat(), locale);
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

quint8 requestedFunction(const Request &request)
{
    return request[7];
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

bool carriesRegisters(const QByteArray &frame, int quantity, quint8 function)
{
    if (frame.size() < MbapHeaderSize + 2) return false;
    const int byteCount = quint8(frame[8]);
    return quint8(frame[7]) == function && byteCount == valueformat::dataBytes(function, quantity) &&
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
