#include "simulator.h"

#include <algorithm>
#include <cmath>

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

} // namespace sim
