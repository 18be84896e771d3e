#pragma once

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

    // "A 100", as the cell is named in the history, the trend and published values.
    QString name() const { return QString(link) + u' ' + reg; }
};

// What each slot shows: its device letter (none when the slot names no link) and whether
// its last read failed.
struct SlotView {
    std::optional<QChar> link;
    bool failed = false;
};

// Every labelled value row of the five slots, in slot order then row order. A slot that
// names no link shows nothing.
std::vector<ShownValue> shownValues(const CellReader &cell,
                                    const std::array<SlotView, ValueColumns.size()> &views);

} // namespace snapshot
