#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <utility>
#include <vector>

class QChart;
class QChartView;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QValueAxis;
class ValueMemory;

// A small window that plots one value cell over the last ten minutes from the value memory
// and follows it live: a line through the values read, broken where none was, and the latest
// value with its time as the chart's title. It never takes the keyboard focus.
class TrendWindow : public QWidget
{
    Q_OBJECT

public:
    // Lines are broken between two values read further apart than this.
    static constexpr qint64 BreakMs = 5000;
    // Minutes the time axis spans, with a labelled tick every TickMinutes: the kept ten, and
    // the part of the next two under way.
    static constexpr qint64 ShownMinutes = 12;
    static constexpr qint64 TickMinutes = 2;

    TrendWindow(const ValueMemory &memory, int slot, int row, const QString &name,
                QWidget *parent = nullptr);

    int slot() const { return m_slot; }
    int row() const { return m_row; }
    QString name() const { return m_name; }

    // What the chart shows now, for those who check it: the points of each unbroken line.
    std::vector<std::vector<QPointF>> lines() const;
    // The latest value with its time: "A 100 = 1234 at 16:55:09".
    QString caption() const;
    QChart *chart() const { return m_chart; }

    // Reads the cell's points again.
    void refresh();

private:
    void follow();

    const ValueMemory &m_memory;
    int m_slot;
    int m_row;
    QString m_name;
    QChartView *m_view = nullptr;
    QLabel *m_latest = nullptr;
    QChart *m_chart = nullptr;
    QDateTimeAxis *m_timeAxis = nullptr;
    QValueAxis *m_valueAxis = nullptr;
    std::vector<QLineSeries *> m_series; // one per unbroken line, reused
    QTimer m_follow;
    std::pair<double, double> m_valueSpan{-1, -1}; // lowest and highest value shown
    bool m_refreshDue = false;
    // The memory has named the cell: an empty name since means its row is gone.
    bool m_named = false;
};

namespace trend
{

// A value axis of whole, round steps: from `low` to `high` (both on a step) with `count`
// ticks, so no two ticks carry the same label.
struct ValueTicks {
    double low = 0;
    double high = 1;
    int count = 2;
};
ValueTicks valueTicks(double lowest, double highest);

} // namespace trend
