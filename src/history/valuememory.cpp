#include "history/valuememory.h"

#include <array>

namespace
{

// A cell's text as a register value; none for "???", an empty cell or anything else.
std::optional<quint16> registerValue(const snapshot::ShownValue &shown)
{
    if (!shown.current) return std::nullopt;
    bool ok = false;
    const uint value = shown.text.toUInt(&ok);
    if (!ok || value > 0xFFFF) return std::nullopt;
    return quint16(value);
}

} // namespace

ValueMemory::ValueMemory(QObject *parent) : QObject(parent) {}

ValueMemory::Cell *ValueMemory::cell(int slot, int row)
{
    if (slot < 0 || slot >= SlotCount || row < 1 || row > RowCount) return nullptr;
    return &m_cells[size_t(slot * RowCount + row - 1)];
}

void ValueMemory::append(Cell &cell, const Point &point)
{
    cell.points.push_back(point);
    while (int(cell.points.size()) > PointsPerCell || cell.points.front().ms < point.ms - KeptMs)
        cell.points.pop_front();
}

void ValueMemory::take(int slot, const std::vector<snapshot::ShownValue> &shown, qint64 ms)
{
    bool changed = false;
    for (const snapshot::ShownValue &value : shown) {
        if (value.slot != slot) continue;
        Cell *c = cell(value.slot, value.row);
        if (!c) continue;
        c->name = value.name();
        append(*c, {ms, registerValue(value)});
        changed = true;
    }
    if (changed) emit slotChanged(slot);
}

void ValueMemory::markGaps(const std::vector<snapshot::ShownValue> &shown, qint64 ms)
{
    std::array<bool, SlotCount> changed{};
    for (const snapshot::ShownValue &value : shown) {
        if (value.current) continue;
        Cell *c = cell(value.slot, value.row);
        // Nothing kept yet, or a gap already: there is no line to break.
        if (!c || c->points.empty() || !c->points.back().value) continue;
        c->name = value.name();
        append(*c, {ms, std::nullopt});
        changed[size_t(value.slot)] = true;
    }
    for (int s = 0; s < SlotCount; ++s)
        if (changed[size_t(s)]) emit slotChanged(s);
}

void ValueMemory::startAfresh(int slot, const std::vector<snapshot::ShownValue> &shown)
{
    if (slot < 0 || slot >= SlotCount) return;
    for (int row = 1; row <= RowCount; ++row) {
        Cell *c = cell(slot, row);
        c->name.clear();
        // Swapped out, so the memory of a long run goes back to the allocator too.
        std::deque<Point>().swap(c->points);
    }
    for (const snapshot::ShownValue &value : shown)
        if (value.slot == slot)
            if (Cell *c = cell(value.slot, value.row)) c->name = value.name();
    emit slotChanged(slot);
}

const std::deque<ValueMemory::Point> &ValueMemory::points(int slot, int row) const
{
    static const std::deque<Point> none;
    if (slot < 0 || slot >= SlotCount || row < 1 || row > RowCount) return none;
    return m_cells[size_t(slot * RowCount + row - 1)].points;
}

QString ValueMemory::name(int slot, int row) const
{
    if (slot < 0 || slot >= SlotCount || row < 1 || row > RowCount) return QString();
    return m_cells[size_t(slot * RowCount + row - 1)].name;
}

int ValueMemory::size() const
{
    int total = 0;
    for (const Cell &c : m_cells)
        total += int(c.points.size());
    return total;
}
