#pragma once

#include <QString>

class OptionIP;

// The window as the polling tests need it, without start-up: a 30 by 30 grid, the cycle at
// rest (slotIdx 4) and no host text that anything could dial.
void shapeForPolling(OptionIP &w);

// Slot `slot` reads `count` registers from `start` on link `link` (-1 for no selection).
void setSlot(OptionIP &w, int slot, int link, const QString &start, const QString &count);

// Number of start register boxes highlighted green.
int greenSlots(const OptionIP &w);

// At rest after slot 4: nothing highlighted, no step pending.
bool resting(const OptionIP &w);

// The grid column that holds slot `slot`'s values.
inline int valueColumn(int slot)
{
    return (slot + 1) * 2;
}
