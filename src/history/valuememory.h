#pragma once

#include "snapshot/shownvalues.h"

#include <QObject>
#include <QString>
#include <array>
#include <deque>
#include <optional>
#include <vector>

// The values every value cell received in the last ten minutes, kept in memory for the trend
// windows: one point per value read, and a gap where the cell showed no current value.
// Bounded: at most PointsPerCell points for each of the 5 x 29 cells.
class ValueMemory : public QObject
{
    Q_OBJECT

public:
    static constexpr int SlotCount = 5;
    static constexpr int RowCount = 29;
    static constexpr int PointsPerCell = 600;
    static constexpr qint64 KeptMs = 10 * 60 * 1000;

    struct Point {
        qint64 ms = 0;                // milliseconds since the epoch
        std::optional<quint16> value; // none: a gap
    };

    explicit ValueMemory(QObject *parent = nullptr);

    // A reply filled `slot`: one point for each of its cells in `shown`, at `ms`.
    void take(int slot, const std::vector<snapshot::ShownValue> &shown, qint64 ms);
    // A gap, at `ms`, for every cell in `shown` that has no current value and whose kept
    // values end in a value.
    void markGaps(const std::vector<snapshot::ShownValue> &shown, qint64 ms);
    // The slot's cells name other registers now: what they kept is dropped, their names
    // become those in `shown`.
    void startAfresh(int slot, const std::vector<snapshot::ShownValue> &shown);

    // Oldest first; empty for a cell out of range.
    const std::deque<Point> &points(int slot, int row) const;
    // "A 100", as the cell was last named; empty when it names no register.
    QString name(int slot, int row) const;
    // Points kept over all cells.
    int size() const;

signals:
    // New points for the slot's cells, or the slot started afresh.
    void slotChanged(int slot);

private:
    struct Cell {
        QString name;
        std::deque<Point> points;
    };
    Cell *cell(int slot, int row);
    void append(Cell &cell, const Point &point);

    std::array<Cell, SlotCount * RowCount> m_cells;
};
