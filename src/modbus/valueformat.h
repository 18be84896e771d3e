#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <optional>

// What a slot reads and how its values are written: the unit it asks, the kind of object,
// the type of each value and its word order. Plain functions: no widgets, no sockets.
namespace valueformat
{

enum class ObjectKind { Holding, Input, Coil, Discrete };
enum class ValueType { U16, S16, Hex, U32, S32, F32, F64 };
// How a device lays out a value over its registers, named after the bytes of a 32-bit value
// from the first register's high byte on. abcd: high word first, high byte first.
enum class WordOrder { Abcd, Cdab, Badc, Dcba };

struct SlotFormat {
    quint8 unit = 1;
    ObjectKind object = ObjectKind::Holding;
    ValueType type = ValueType::U16;
    WordOrder order = WordOrder::Abcd;

    bool operator==(const SlotFormat &o) const
    {
        return unit == o.unit && object == o.object && type == o.type && order == o.order;
    }
    bool operator!=(const SlotFormat &o) const { return !(*this == o); }
};

// The read function of an object kind: 3, 4, 1 or 2.
quint8 functionCode(ObjectKind object);
// Coils and discrete inputs are read as bits, one value each.
bool readsBits(ObjectKind object);
// What one value of the slot takes on the wire: registers (1, 2 or 4), or 1 bit.
int wordsPerValue(const SlotFormat &format);
// Functions 1 and 2 read bits; 3 and 4 registers.
bool readsBits(quint8 function);
// Data bytes of a reply that carries `quantity` registers or bits of the function.
int dataBytes(quint8 function, int quantity);

// The settings texts: "holding", "input", "coil", "discrete"; "u16" ... "f64", with ":cdab",
// ":badc" or ":dcba" after a 32- or 64-bit type; a unit in decimal, 0 to 255. Reading takes
// the texts in any letter case and nothing around them.
QString objectText(ObjectKind object);
std::optional<ObjectKind> parseObject(const QString &text);
QString typeText(ValueType type, WordOrder order = WordOrder::Abcd);
struct TypeChoice {
    ValueType type = ValueType::U16;
    WordOrder order = WordOrder::Abcd;
};
std::optional<TypeChoice> parseType(const QString &text);
std::optional<quint8> parseUnit(const QString &text);

// Every object text, and every type text with its word orders, in the order a list offers them.
QStringList objectChoices();
QStringList typeChoices();

// What a value's name carries before its number: "" for a holding register, then "i", "c", "d".
QString namePrefix(ObjectKind object);

// The value that starts at `data` (the reply's bytes, registers high byte first), as the grid
// shows it: u16/s16/u32/s32 in decimal with a minus sign where negative, hex as 0x1A2B, floats
// in the shortest decimal that reads back as the same float, with a full stop whatever the
// locale, and nan, inf or -inf. Empty when `size` bytes cannot hold the value.
QString registerValueText(const quint8 *data, int size, const SlotFormat &format);
// The registers, in the device's order, that hold a value whose bits are `raw` (the low 16,
// 32 or 64 bits, by the type): what registerValueText reads back.
QList<quint16> registersOf(quint64 raw, const SlotFormat &format);

// Bit `index` of a coil or discrete-input reply's data bytes, lowest bit first: "0" or "1".
QString bitText(const quint8 *data, int size, int index);

} // namespace valueformat
