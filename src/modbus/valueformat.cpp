#include "modbus/valueformat.h"

#include <QList>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace valueformat
{

namespace
{

struct ObjectEntry {
    ObjectKind object;
    const char *text;
    quint8 function;
    const char *prefix;
};
constexpr std::array<ObjectEntry, 4> Objects = {{
    {ObjectKind::Holding, "holding", 0x03, ""},
    {ObjectKind::Input, "input", 0x04, "i"},
    {ObjectKind::Coil, "coil", 0x01, "c"},
    {ObjectKind::Discrete, "discrete", 0x02, "d"},
}};

struct TypeEntry {
    ValueType type;
    const char *text;
    int words;
};
constexpr std::array<TypeEntry, 7> Types = {{
    {ValueType::U16, "u16", 1},
    {ValueType::S16, "s16", 1},
    {ValueType::Hex, "hex", 1},
    {ValueType::U32, "u32", 2},
    {ValueType::S32, "s32", 2},
    {ValueType::F32, "f32", 2},
    {ValueType::F64, "f64", 4},
}};

constexpr std::array<WordOrder, 4> Orders = {WordOrder::Abcd, WordOrder::Cdab, WordOrder::Badc,
                                             WordOrder::Dcba};
const char *orderText(WordOrder order)
{
    switch (order) {
    case WordOrder::Cdab:
        return "cdab";
    case WordOrder::Badc:
        return "badc";
    case WordOrder::Dcba:
        return "dcba";
    case WordOrder::Abcd:
        break;
    }
    return "abcd";
}

const ObjectEntry &entryOf(ObjectKind object)
{
    for (const ObjectEntry &e : Objects)
        if (e.object == object) return e;
    return Objects[0];
}

const TypeEntry &entryOf(ValueType type)
{
    for (const TypeEntry &e : Types)
        if (e.type == type) return e;
    return Types[0];
}

// The value's bytes, most significant first, from the registers as they came in the order
// the device keeps them. cdab reverses the words, badc swaps the bytes of each word, dcba
// does both: for a 64-bit value the same holds over its four words.
quint64 assemble(const quint8 *data, int words, WordOrder order)
{
    const bool reverseWords = order == WordOrder::Cdab || order == WordOrder::Dcba;
    const bool swapBytes = order == WordOrder::Badc || order == WordOrder::Dcba;
    quint64 value = 0;
    for (int w = 0; w < words; ++w) {
        const quint8 *word = data + 2 * (reverseWords ? words - 1 - w : w);
        const quint8 high = swapBytes ? word[1] : word[0];
        const quint8 low = swapBytes ? word[0] : word[1];
        value = (value << 16) | quint64((high << 8) | low);
    }
    return value;
}

template <typename Float> QString floatText(Float value)
{
    if (std::isnan(value)) return QStringLiteral("nan");
    if (std::isinf(value)) return value < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");
    // Without a format, to_chars writes the shortest text that reads back as this value.
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return QString::fromLatin1(buffer.data(), int(result.ptr - buffer.data()));
}

} // namespace

quint8 functionCode(ObjectKind object)
{
    return entryOf(object).function;
}

bool readsBits(ObjectKind object)
{
    return object == ObjectKind::Coil || object == ObjectKind::Discrete;
}

int wordsPerValue(const SlotFormat &format)
{
    return readsBits(format.object) ? 1 : entryOf(format.type).words;
}

bool readsBits(quint8 function)
{
    return function == 0x01 || function == 0x02;
}

int dataBytes(quint8 function, int quantity)
{
    if (readsBits(function)) return (quantity + 7) / 8;
    return 2 * quantity;
}

QString objectText(ObjectKind object)
{
    return QLatin1String(entryOf(object).text);
}

std::optional<ObjectKind> parseObject(const QString &text)
{
    for (const ObjectEntry &e : Objects)
        if (text.compare(QLatin1String(e.text), Qt::CaseInsensitive) == 0) return e.object;
    return std::nullopt;
}

QString typeText(ValueType type, WordOrder order)
{
    const TypeEntry &e = entryOf(type);
    QString text = QLatin1String(e.text);
    if (e.words > 1 && order != WordOrder::Abcd) text += u':' + QLatin1String(orderText(order));
    return text;
}

std::optional<TypeChoice> parseType(const QString &text)
{
    const QString name = text.section(u':', 0, 0);
    const bool hasOrder = text.contains(u':');
    const QString order = text.section(u':', 1);
    for (const TypeEntry &e : Types) {
        if (name.compare(QLatin1String(e.text), Qt::CaseInsensitive) != 0) continue;
        if (!hasOrder) return TypeChoice{e.type, WordOrder::Abcd};
        // A 16-bit value has no word order to choose.
        if (e.words == 1) return std::nullopt;
        for (const WordOrder o : Orders)
            if (order.compare(QLatin1String(orderText(o)), Qt::CaseInsensitive) == 0)
                return TypeChoice{e.type, o};
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<quint8> parseUnit(const QString &text)
{
    if (text.isEmpty() || text.size() > 3) return std::nullopt;
    int unit = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') return std::nullopt;
        unit = unit * 10 + (c.unicode() - '0');
    }
    if (unit > 255) return std::nullopt;
    return quint8(unit);
}

QStringList objectChoices()
{
    QStringList list;
    for (const ObjectEntry &e : Objects)
        list << QLatin1String(e.text);
    return list;
}

QStringList typeChoices()
{
    QStringList list;
    for (const TypeEntry &e : Types) {
        if (e.words == 1) {
            list << QLatin1String(e.text);
            continue;
        }
        for (const WordOrder o : Orders)
            list << typeText(e.type, o);
    }
    return list;
}

QString namePrefix(ObjectKind object)
{
    return QLatin1String(entryOf(object).prefix);
}

QString registerValueText(const quint8 *data, int size, const SlotFormat &format)
{
    const int words = entryOf(format.type).words;
    if (!data || size < 2 * words) return QString();
    const quint64 raw = assemble(data, words, format.order);
    switch (format.type) {
    case ValueType::U16:
    case ValueType::U32:
        return QString::number(raw);
    case ValueType::S16:
        return QString::number(qint16(quint16(raw)));
    case ValueType::S32:
        return QString::number(qint32(quint32(raw)));
    case ValueType::Hex:
        return QStringLiteral("0x") + QString::number(raw, 16).toUpper().rightJustified(4, u'0');
    case ValueType::F32: {
        const quint32 bits = quint32(raw);
        float value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return floatText(value);
    }
    case ValueType::F64: {
        double value = 0;
        std::memcpy(&value, &raw, sizeof value);
        return floatText(value);
    }
    }
    return QString();
}

QList<quint16> registersOf(quint64 raw, const SlotFormat &format)
{
    // Bytes most significant first, then laid out as the device keeps them. Reversing the
    // words and swapping the bytes each undo themselves, so the same rule reads them back.
    const int words = entryOf(format.type).words;
    std::array<quint8, 8> bytes{};
    for (int k = 0; k < 2 * words; ++k)
        bytes[size_t(k)] = quint8(raw >> (8 * (2 * words - 1 - k)));
    const quint64 laidOut = assemble(bytes.data(), words, format.order);
    QList<quint16> registers;
    for (int w = words - 1; w >= 0; --w)
        registers << quint16(laidOut >> (16 * w));
    return registers;
}

QString bitText(const quint8 *data, int size, int index)
{
    if (!data || index < 0 || index / 8 >= size) return QString();
    return (data[index / 8] >> (index % 8)) & 1 ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace valueformat
