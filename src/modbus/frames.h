#pragma once

#include "modbus/valueformat.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <optional>

class QLocale;

// The Modbus/TCP read frames.
// Plain functions: no widgets, no sockets.
namespace frames
{

// A request byte takes an integer only if it lies in 0..255; anything else gives 0.
quint8 byteFrom(std::optional<qint64> value);

// The two bytes (high, low) of a 16-bit field; each one stands alone under the byte rule.
std::array<quint8, 2> splitWord(std::optional<qint32> value);

constexpr int RequestSize = 12;
using Request = std::array<quint8, RequestSize>;

// Start address from a register number counted from 1, read in the locale's format.
std::array<quint8, 2> startAddressBytes(const QString &startText, const QLocale &locale);
// Quantity of registers (or bits) from the count text, by the leading-number rule: the count
// of values times what each value takes.
std::array<quint8, 2> quantityBytes(const QString &countText, int wordsPerValue = 1);

// The 12-byte read request: transaction 0, protocol 0, length 6, the slot's unit, its object's
// read function, start address, quantity. Without a format: unit 1, holding registers, u16.
Request buildReadRequest(const QString &startText, const QString &countText,
                         const valueformat::SlotFormat &format, const QLocale &locale);
Request buildReadRequest(const QString &startText, const QString &countText, const QLocale &locale);
Request buildReadRequest(const QString &startText, const QString &countText);

// The same request carrying the given transaction identifier.
Request withTransaction(Request request, quint16 transaction);

// Quantity that a built request asks for, and its function code.
int requestedQuantity(const Request &request);
quint8 requestedFunction(const Request &request);

// A register value as a grid cell shows it: unsigned decimal, 0 to 65535.
QString registerText(quint8 high, quint8 low);

// The frame length text of a reply with byte count N: N + 9 in decimal.
QString frameLengthText(quint8 byteCount);

// --- Replies ---

constexpr int MbapHeaderSize = 7; // transaction, protocol, length, unit identifier
constexpr int MinLengthField = 2; // unit identifier and function code
constexpr int MaxLengthField = 254;

enum class FrameStatus { Incomplete, Whole, Malformed };

// Looks at the bytes waiting: is a whole reply there, and how long is it?
struct FrameCheck {
    FrameStatus status = FrameStatus::Incomplete;
    int length = 0; // bytes of the whole frame when Whole
};
FrameCheck checkFrame(const QByteArray &waiting);

// True when a whole reply frame answers a read request of `function` for `quantity`
// registers or bits: the same function and a byte count of 2 * quantity (bits: quantity / 8
// rounded up), with every data byte present.
bool carriesRegisters(const QByteArray &frame, int quantity, quint8 function = 0x03);

// Grid rows that a reply's registers go to, given the count text's number: rows 1 to the
// count (rounded as the row loop counts), never beyond what was asked for nor row 29.
int decodedRowCount(double count, int quantityAsked);

// Highest grid row a slot can use.
constexpr int LastRow = 29;

} // namespace frames
