#include "simulator.h"

#include "modbus/rtu.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim
{

namespace
{

// splitmix64: a cheap, well-spread hash, so the random walk needs no generator state.
quint64 mix(quint64 x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Registers n..n+3 with n = 4k + 1 form block k.
int blockOf(int registerNumber)
{
    return std::max(registerNumber - 1, 0) / 4;
}

constexpr int SinePhaseStepTicks = 12;
constexpr double Pi = 3.14159265358979323846;

} // namespace

Pattern patternOf(int registerNumber)
{
    switch (((registerNumber % 4) + 4) % 4) {
    case 1:
        return Pattern::Counter;
    case 2:
        return Pattern::Ramp;
    case 3:
        return Pattern::Sine;
    default:
        return Pattern::RandomWalk;
    }
}

quint16 initialValue(int registerNumber)
{
    switch (patternOf(registerNumber)) {
    case Pattern::Counter:
        // Starts at its own register number, so a fresh device shows where it is read.
        return quint16(registerNumber);
    case Pattern::Ramp:
        return quint16((blockOf(registerNumber) % (RangeTop / RampStep + 1)) * RampStep);
    case Pattern::Sine:
        return sineValue(registerNumber, 0);
    case Pattern::RandomWalk:
        break;
    }
    return quint16(mix(quint64(quint32(registerNumber))) % (RangeTop + 1));
}

quint16 nextValue(int registerNumber, quint64 tick, quint16 previous)
{
    switch (patternOf(registerNumber)) {
    case Pattern::Counter:
        return quint16(previous + 1);
    case Pattern::Ramp:
        return previous + RampStep > RangeTop ? quint16(0) : quint16(previous + RampStep);
    case Pattern::Sine:
        return sineValue(registerNumber, tick);
    case Pattern::RandomWalk:
        break;
    }
    const int from = std::min<int>(previous, RangeTop);
    const int step = walkStep(registerNumber, tick);
    const int to = from + step;
    // Bounce off the edges; a step is far smaller than the range, so the bounce fits.
    return quint16(to < 0 || to > RangeTop ? from - step : to);
}

quint16 sineValue(int registerNumber, quint64 tick)
{
    const quint64 phase = quint64(blockOf(registerNumber)) * SinePhaseStepTicks;
    const double turn = double((tick + phase) % SinePeriodTicks) / SinePeriodTicks;
    const double half = RangeTop / 2.0;
    const long value = std::lround(half + half * std::sin(2.0 * Pi * turn));
    return quint16(std::clamp<long>(value, 0, RangeTop));
}

int walkStep(int registerNumber, quint64 tick)
{
    const quint64 h = mix((quint64(quint32(registerNumber)) << 32) ^ tick);
    const int magnitude = WalkMinStep + int(h % quint64(WalkMaxStep - WalkMinStep + 1));
    return (h >> 63) ? -magnitude : magnitude;
}

std::optional<quint16> parsePort(const QString &text)
{
    if (text.isEmpty() || text.size() > 5) return std::nullopt;
    int port = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
        port = port * 10 + (c.unicode() - '0');
    }
    if (port < 1 || port > 65535) return std::nullopt;
    return quint16(port);
}

std::optional<quint16> portFromArguments(const QStringList &arguments)
{
    if (arguments.isEmpty()) return DefaultPort;
    if (arguments.size() != 1) return std::nullopt;
    return parsePort(arguments.constFirst());
}

RegisterBank::RegisterBank() : m_values(RegisterCount)
{
    for (int i = 0; i < RegisterCount; ++i)
        m_values[i] = initialValue(i + 1);
}

void RegisterBank::advance()
{
    ++m_tick;
    quint16 *values = m_values.data();
    for (int i = 0; i < RegisterCount; ++i)
        values[i] = nextValue(i + 1, m_tick, values[i]);
}

quint16 RegisterBank::value(int registerNumber) const
{
    if (registerNumber < 1 || registerNumber > RegisterCount) return 0;
    return m_values.at(registerNumber - 1);
}

namespace
{

std::optional<quint64> rawValue(const valueformat::TypeChoice &type, const QString &text)
{
    using valueformat::ValueType;
    bool ok = false;
    switch (type.type) {
    case ValueType::F32: {
        const float value = text.toFloat(&ok);
        quint32 bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        return ok ? std::optional<quint64>(bits) : std::nullopt;
    }
    case ValueType::F64: {
        const double value = text.toDouble(&ok);
        quint64 bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        return ok ? std::optional<quint64>(bits) : std::nullopt;
    }
    case ValueType::S16:
    case ValueType::S32: {
        const qint64 value = text.toLongLong(&ok, 0);
        const qint64 limit = type.type == ValueType::S16 ? 0x8000 : 0x80000000LL;
        if (!ok || value < -limit || value >= limit) return std::nullopt;
        return quint64(value);
    }
    case ValueType::U16:
    case ValueType::Hex:
    case ValueType::U32: {
        const quint64 value = text.toULongLong(&ok, 0);
        const quint64 limit = type.type == ValueType::U32 ? 0x100000000ULL : 0x10000ULL;
        if (!ok || value >= limit) return std::nullopt;
        return value;
    }
    }
    return std::nullopt;
}

QByteArray exception(quint8 function, quint8 code)
{
    QByteArray pdu(2, '\0');
    pdu[0] = char(function | 0x80);
    pdu[1] = char(code);
    return pdu;
}

} // namespace

std::optional<Hold> parseHold(const QString &text)
{
    const QStringList parts = text.split(u'=');
    if (parts.size() < 2 || parts.size() > 3) return std::nullopt;
    Hold held;
    QString place = parts[0];
    if (const int slash = place.indexOf(u'/'); slash >= 0) {
        const std::optional<quint8> unit = valueformat::parseUnit(place.left(slash));
        if (!unit) return std::nullopt;
        held.unit = *unit;
        place = place.mid(slash + 1);
    }
    if (place.startsWith(u'i')) held.object = valueformat::ObjectKind::Input;
    if (place.startsWith(u'c')) held.object = valueformat::ObjectKind::Coil;
    if (place.startsWith(u'd')) held.object = valueformat::ObjectKind::Discrete;
    if (held.object != valueformat::ObjectKind::Holding) place = place.mid(1);
    const std::optional<quint16> number = parsePort(place);
    if (!number || *number > RegisterCount) return std::nullopt;
    held.address = *number - 1;

    if (valueformat::readsBits(held.object)) {
        if (parts.size() != 2 || (parts[1] != QLatin1String("0") && parts[1] != QLatin1String("1")))
            return std::nullopt;
        held.bit = parts[1] == QLatin1String("1");
        return held;
    }
    if (parts.size() != 3) return std::nullopt;
    const std::optional<valueformat::TypeChoice> type = valueformat::parseType(parts[1]);
    if (!type) return std::nullopt;
    const std::optional<quint64> raw = rawValue(*type, parts[2]);
    if (!raw) return std::nullopt;
    valueformat::SlotFormat format;
    format.type = type->type;
    format.order = type->order;
    held.registers = valueformat::registersOf(*raw, format);
    if (held.address + held.registers.size() > RegisterCount) return std::nullopt;
    return held;
}

std::optional<Options> optionsFromArguments(const QStringList &arguments)
{
    Options options;
    bool portGiven = false;
    for (int k = 0; k < arguments.size(); ++k) {
        const QString &argument = arguments[k];
        if (argument == QLatin1String("--rtu")) {
            options.rtuOverTcp = true;
            continue;
        }
        if (argument == QLatin1String("--serial") || argument == QLatin1String("--line")) {
            if (++k >= arguments.size()) return std::nullopt;
            (argument == QLatin1String("--serial") ? options.serial : options.line) = arguments[k];
            continue;
        }
        if (argument == QLatin1String("--hold")) {
            if (++k >= arguments.size()) return std::nullopt;
            const std::optional<Hold> held = parseHold(arguments[k]);
            if (!held) return std::nullopt;
            options.holds << *held;
            continue;
        }
        const std::optional<quint16> port = parsePort(argument);
        if (!port || portGiven) return std::nullopt;
        options.port = *port;
        portGiven = true;
    }
    return options;
}

QByteArray Device::answerRtu(QByteArray &waiting) const
{
    // A read request is address, function, start and quantity: 6 bytes and the CRC.
    constexpr int RequestBytes = 8;
    QByteArray replies;
    while (waiting.size() >= RequestBytes) {
        const QByteArray request = waiting.left(RequestBytes);
        if (!rtu::crcHolds(request)) {
            waiting.remove(0, 1);
            continue;
        }
        waiting.remove(0, RequestBytes);
        const quint8 unit = quint8(request[0]);
        if (unit == 0) continue;
        replies += rtu::withCrc(char(unit) + answer(unit, request.mid(1, 5)));
    }
    return replies;
}

quint64 Device::key(int unit, valueformat::ObjectKind object, int address)
{
    return (quint64(quint8(unit)) << 40) | (quint64(object) << 32) | quint32(address);
}

void Device::hold(const Hold &held)
{
    if (valueformat::readsBits(held.object)) {
        m_held.insert(key(held.unit, held.object, held.address), held.bit ? 1 : 0);
        return;
    }
    for (int k = 0; k < held.registers.size(); ++k)
        m_held.insert(key(held.unit, held.object, held.address + k), held.registers[k]);
}

quint16 Device::registerAt(int unit, valueformat::ObjectKind object, int address) const
{
    const auto held = m_held.constFind(key(unit, object, address));
    if (held != m_held.cend()) return *held;
    const quint16 moving = m_bank.value(address + 1);
    return object == valueformat::ObjectKind::Input ? quint16(moving + InputOffset) : moving;
}

bool Device::bitAt(int unit, valueformat::ObjectKind object, int address) const
{
    const auto held = m_held.constFind(key(unit, object, address));
    if (held != m_held.cend()) return *held != 0;
    const int shift = object == valueformat::ObjectKind::Discrete ? 1 : 0;
    return (m_bank.value(address + 1) >> shift) & 1;
}

QByteArray Device::answer(int unit, const QByteArray &pdu) const
{
    if (pdu.isEmpty()) return exception(0, 0x01);
    const quint8 function = quint8(pdu[0]);
    std::optional<valueformat::ObjectKind> object;
    for (const auto kind : {valueformat::ObjectKind::Holding, valueformat::ObjectKind::Input,
                            valueformat::ObjectKind::Coil, valueformat::ObjectKind::Discrete})
        if (valueformat::functionCode(kind) == function) object = kind;
    if (!object) return exception(function, 0x01);
    if (pdu.size() != 5) return exception(function, 0x03);

    const int address = (quint8(pdu[1]) << 8) | quint8(pdu[2]);
    const int quantity = (quint8(pdu[3]) << 8) | quint8(pdu[4]);
    const bool bits = valueformat::readsBits(function);
    if (quantity < 1 || quantity > (bits ? 2000 : 125)) return exception(function, 0x03);
    if (address + quantity > RegisterCount) return exception(function, 0x02);

    const int size = valueformat::dataBytes(function, quantity);
    QByteArray reply(2, '\0');
    reply[0] = char(function);
    reply[1] = char(size);
    if (bits) {
        QByteArray packed(size, '\0');
        for (int k = 0; k < quantity; ++k)
            if (bitAt(unit, *object, address + k)) packed[k / 8] = char(packed[k / 8] | (1 << (k % 8)));
        return reply + packed;
    }
    for (int k = 0; k < quantity; ++k) {
        const quint16 value = registerAt(unit, *object, address + k);
        reply += char(value >> 8);
        reply += char(value & 0xFF);
    }
    return reply;
}

} // namespace sim
