#pragma once

#include "modbus/valueformat.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// What the device simulator serves: holding registers 1 to 10000 whose values move on every
// update, each register following a pattern chosen by its number so that a reader can tell
// which register it is looking at; input registers, coils and discrete inputs that follow
// them; and values held still where the command line puts them. Plain functions and value
// types: no sockets.
namespace sim
{

constexpr quint16 DefaultPort = 1502;
constexpr int UnitId = 1;
constexpr int RegisterCount = 10000; // register numbers 1..10000, wire addresses 0..9999
constexpr int UpdateIntervalMs = 250;

// Ramp, sine and random walk all stay within 0..RangeTop.
constexpr int RangeTop = 1000;
constexpr int RampStep = 10;
constexpr int SinePeriodTicks = 240; // one minute at four updates a second
constexpr int WalkMinStep = 5;       // large enough to be seen on every read
constexpr int WalkMaxStep = 25;

// The pattern of register n follows n mod 4, so the first four registers of any block
// read from register 1 show one of each.
enum class Pattern {
    RandomWalk, // n mod 4 == 0
    Counter,    // n mod 4 == 1: +1 on every update, wrapping at 65535
    Ramp,       // n mod 4 == 2: 0, 10, ..., 1000, 0, ...
    Sine,       // n mod 4 == 3: one period a minute, scaled to 0..1000
};

Pattern patternOf(int registerNumber);

// Value of register n before the first update.
quint16 initialValue(int registerNumber);

// Value of register n after update number `tick` (1, 2, ...), from its value before it.
quint16 nextValue(int registerNumber, quint64 tick, quint16 previous);

// The sine register's value at a tick; each block of four registers has its own phase.
quint16 sineValue(int registerNumber, quint64 tick);

// The random walk's move at a tick: never 0, magnitude WalkMinStep..WalkMaxStep, the same
// for the same register and tick.
int walkStep(int registerNumber, quint64 tick);

// A TCP port given as decimal digits only, 1..65535.
std::optional<quint16> parsePort(const QString &text);

// The port from the command-line arguments after the program name: DefaultPort when there
// are none, nothing when they are not exactly one valid port.
std::optional<quint16> portFromArguments(const QStringList &arguments);

// All registers of the simulated device, advanced one update at a time.
class RegisterBank
{
public:
    RegisterBank();

    void advance();

    quint64 tick() const { return m_tick; }
    // Index i holds register i + 1, i.e. the value at wire address i.
    const QList<quint16> &values() const { return m_values; }
    // 0 for a register number outside 1..RegisterCount.
    quint16 value(int registerNumber) const;

private:
    QList<quint16> m_values;
    quint64 m_tick = 0;
};

// A value held still at a register or bit of one unit, given on the command line as
// [UNIT/][i|c|d]NUMBER=TYPE=VALUE for registers (TYPE as the settings file writes it, such as
// f32:cdab; NUMBER counted from 1) or [UNIT/](c|d)NUMBER=0|1 for a bit. Unit 1 by default.
struct Hold {
    int unit = 1;
    valueformat::ObjectKind object = valueformat::ObjectKind::Holding;
    int address = 0;             // wire address of the first register or the bit
    QList<quint16> registers;    // registers from `address` on
    bool bit = false;
};
std::optional<Hold> parseHold(const QString &text);

// quorvel-sim [port] [--rtu] [--serial DEVICE [--line SETTINGS]] [--hold SPEC]...
struct Options {
    quint16 port = DefaultPort;
    bool rtuOverTcp = false; // the TCP port carries RTU frames
    QString serial;          // serve RTU on this serial device instead of TCP
    QString line = QStringLiteral("19200");
    QList<Hold> holds;
};
std::optional<Options> optionsFromArguments(const QStringList &arguments);

// Input register n reads InputOffset above holding register n; coil n is the lowest bit of
// holding register n, discrete input n the next one.
constexpr int InputOffset = 5000;

// The simulated device as a reader meets it: any unit answers, from the moving registers or
// the values held for that unit.
class Device
{
public:
    void hold(const Hold &held);
    void advance() { m_bank.advance(); }
    const RegisterBank &bank() const { return m_bank; }

    // What a reader is given at a wire address.
    quint16 registerAt(int unit, valueformat::ObjectKind object, int address) const;
    bool bitAt(int unit, valueformat::ObjectKind object, int address) const;

    // The reply PDU (function code and data, or an exception) to a request PDU for the unit:
    // functions 1 to 4 within the device's range; exception 01 for another function, 02 for
    // addresses beyond it, 03 for a quantity out of 1..125 registers or 1..2000 bits.
    QByteArray answer(int unit, const QByteArray &pdu) const;

    // Answers every whole RTU request among the bytes waiting (its address, PDU and a right
    // CRC) and removes it; a request with a wrong CRC is dropped a byte at a time until one
    // reads, as a device on a line does. Broadcasts (address 0) get no answer.
    QByteArray answerRtu(QByteArray &waiting) const;

private:
    static quint64 key(int unit, valueformat::ObjectKind object, int address);
    RegisterBank m_bank;
    QHash<quint64, quint16> m_held;
};

} // namespace sim
