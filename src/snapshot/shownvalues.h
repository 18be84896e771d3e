#pragma once

#include "modbus/valueformat.h"
#include "snapshot/snapshot.h"

#include <QString>
#include <array>
#include <optional>
#include <vector>

namespace snapshot
{

// One value cell of the grid as an operator reads it: the slot's device and the register
// its label names, and the value when the cell holds one that was read.
struct ShownValue {
    int slot = 0;
    int row = 0;
    QChar link;           // 'A', 'B' or 'C'
    QString reg;          // the register label without ">>", e.g. "100"
    QString text;         // the cell's text as the grid shows it
    bool current = false; // false for "???", an empty cell, or a slot whose last read failed
    int unit = 1;
    QString object;   // "" for a holding register, "i", "c" or "d"
    bool bit = false; // a coil or a discrete input: 0 or 1
    QString twin;     // "~3" when an earlier slot's cell already has the name

    // "A 100", as the cell is named in the history, the trend and published values: the
    // unit after the link when it is not 1, the object's letter before the number.
    QString name() const { return device() + u' ' + object + reg + twin; }
    // "A", or "A/7" for unit 7.
    QString device() const
    {
        return unit == 1 ? QString(link) : QString(link) + u'/' + QString::number(unit);
    }
};

// What each slot shows: its device letter (none when the slot names no link), whether its
// last read failed, and what it reads.
struct SlotView {
    std::optional<QChar> link;
    bool failed = false;
    int unit = 1;
    valueformat::ObjectKind object = valueformat::ObjectKind::Holding;

    bool operator==(const SlotView &other) const
    {
        return link == other.link && failed == other.failed && unit == other.unit &&
               object == other.object;
    }
};

// Every labelled value row of the five slots, in slot order then row order. A slot that
// names no link shows nothing. A cell whose name an earlier cell already has (two slots
// reading the same registers) gets the slot's number after a tilde, so no two share one.
std::vector<ShownValue> shownValues(const CellReader &cell,
                                    const std::array<SlotView, ValueColumns.size()> &views);

// Which slots a reply has filled since the values were last taken, so that a row or record
// made once a cycle never repeats a value that was not read again (a silent device holding
// the cycle keeps other slots from being read for seconds).
class ReadsSince
{
public:
    // A reply brought the slot's registers into its cells.
    void slotRead(int slot);
    // `values` with every value of a slot not read since the last call no longer current;
    // the next call counts from now.
    std::vector<ShownValue> take(std::vector<ShownValue> values);

private:
    std::array<bool, ValueColumns.size()> m_read{};
};

} // namespace snapshot
