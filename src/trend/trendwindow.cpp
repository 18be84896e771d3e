#include "trend/trendwindow.h"

#include "history/valuememory.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLabel>
#include <QLineSeries>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace
{

// Somewhat longer than a poll cycle, so it only fires once values have stopped coming.
constexpr int FollowIntervalMs = 1500;

} // namespace

TrendWindow::TrendWindow(const ValueMemory &memory, int slot, int row, const QString &name,
                         QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::WindowDoesNotAcceptFocus), m_memory(memory), m_slot(slot),
      m_row(row), m_name(name)
{
    setObjectName(QStringLiteral("trend_%1_%2").arg(slot).arg(row));
    setAttribute(Qt::WA_DeleteOnClose);
    // The operator keeps typing in the main window while trends come and go.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    setWindowTitle(QStringLiteral("Trend - ") + name);
    resize(520, 300);

    m_chart = new QChart;
    m_chart->legend()->hide();
    // A blurred shadow would be drawn again with every point.
    m_chart->setDropShadowEnabled(false);
    m_chart->setMargins(QMargins(4, 4, 4, 4));
    m_timeAxis = new QDateTimeAxis;
    m_timeAxis->setFormat(QStringLiteral("HH:mm"));
    // A tick every minute of the shown span (see follow()).
    m_timeAxis->setTickCount(int(ShownMinutes / TickMinutes) + 1);
    m_valueAxis = new QValueAxis;
    m_valueAxis->setLabelFormat(QStringLiteral("%.0f"));
    m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
    m_chart->addAxis(m_valueAxis, Qt::AlignLeft);

    m_view = new QChartView(m_chart, this);
    m_view->setFocusPolicy(Qt::NoFocus);
    m_view->setRenderHint(QPainter::Antialiasing);
    // The latest value in a plain label: a chart title would lay the chart out anew each time.
    m_latest = new QLabel(this);
    m_latest->setObjectName(QStringLiteral("latest"));
    m_latest->setAlignment(Qt::AlignCenter);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_latest);
    layout->addWidget(m_view);

    // Drawn once the reply path has returned: the poll cycle never waits for a chart.
    connect(&memory, &ValueMemory::slotChanged, this, [this](int changed) {
        if (changed != m_slot || m_refreshDue) return;
        m_refreshDue = true;
        QTimer::singleShot(0, this, &TrendWindow::refresh);
    });
    // While values come they move the time axis on; once they stop, this timer does.
    m_follow.setInterval(FollowIntervalMs);
    m_follow.setTimerType(Qt::CoarseTimer);
    connect(&m_follow, &QTimer::timeout, this, &TrendWindow::follow);
    refresh();
}

void TrendWindow::refresh()
{
    m_refreshDue = false;
    const QString current = m_memory.name(m_slot, m_row);
    if (current.isEmpty() && m_named) {
        // Its row is gone (a count edited down, the slot's device taken away): what it drew
        // stays, so the operator can still read it.
        setWindowTitle(QStringLiteral("Trend - %1 (no longer read)").arg(m_name));
        follow();
        return;
    }
    m_named = !current.isEmpty();
    if (m_named) m_name = current;
    setWindowTitle(QStringLiteral("Trend - ") + m_name);

    // Unbroken runs of values read; a gap, or a long silence, ends a run.
    std::vector<QList<QPointF>> runs;
    bool broken = true;
    qint64 lastMs = 0;
    double low = 0, high = 0;
    bool any = false;
    for (const ValueMemory::Point &p : m_memory.points(m_slot, m_row)) {
        if (!p.value) {
            broken = true;
            continue;
        }
        if (broken || p.ms - lastMs > BreakMs) runs.emplace_back();
        broken = false;
        lastMs = p.ms;
        const double v = *p.value;
        runs.back().append(QPointF(double(p.ms), v));
        low = any ? std::min(low, v) : v;
        high = any ? std::max(high, v) : v;
        any = true;
    }

    while (m_series.size() < runs.size()) {
        auto *series = new QLineSeries;
        m_chart->addSeries(series);
        series->attachAxis(m_timeAxis);
        series->attachAxis(m_valueAxis);
        // Every run is the same register: one colour.
        if (!m_series.empty()) series->setColor(m_series.front()->color());
        m_series.push_back(series);
    }
    for (size_t k = 0; k < m_series.size(); ++k) {
        const QList<QPointF> points = k < runs.size() ? runs[k] : QList<QPointF>();
        // A lone value has no line to show it: its point is drawn.
        m_series[k]->setPointsVisible(points.size() == 1);
        m_series[k]->replace(points);
    }

    // Round numbers on the value axis, worked out again only when the values' span changes.
    const std::pair<double, double> span =
        any ? std::make_pair(low, high) : std::make_pair(0.0, 1.0);
    if (span != m_valueSpan) {
        m_valueSpan = span;
        const trend::ValueTicks ticks = trend::valueTicks(span.first, span.second);
        m_valueAxis->setRange(ticks.low, ticks.high);
        m_valueAxis->setTickCount(ticks.count);
    }

    const std::deque<ValueMemory::Point> &points = m_memory.points(m_slot, m_row);
    QString title = QStringLiteral("no value yet");
    if (!points.empty()) {
        const ValueMemory::Point &last = points.back();
        const QString at =
            QDateTime::fromMSecsSinceEpoch(last.ms).toString(QStringLiteral("HH:mm:ss"));
        title = last.value ? QStringLiteral("%1 = %2 at %3").arg(m_name).arg(*last.value).arg(at)
                           : QStringLiteral("%1: no value at %2").arg(m_name, at);
    }
    m_latest->setText(title);
    follow();
}

void TrendWindow::follow()
{
    m_follow.start();
    // The span ends at the next tick, so its labels change every TickMinutes, not with every
    // value; it always holds the last ten minutes.
    const QDateTime now = QDateTime::currentDateTime();
    const int minute = now.time().minute();
    QDateTime end(now.date(), QTime(now.time().hour(), minute - minute % int(TickMinutes)),
                  now.timeSpec());
    end = end.addSecs(60 * TickMinutes);
    const QDateTime start = end.addSecs(-60 * ShownMinutes);
    if (m_timeAxis->max() != end || m_timeAxis->min() != start) m_timeAxis->setRange(start, end);
}

std::vector<std::vector<QPointF>> TrendWindow::lines() const
{
    std::vector<std::vector<QPointF>> shown;
    for (const QLineSeries *series : m_series) {
        const QList<QPointF> points = series->points();
        if (!points.isEmpty()) shown.emplace_back(points.begin(), points.end());
    }
    return shown;
}

QString TrendWindow::caption() const
{
    return m_latest->text();
}

namespace trend
{

ValueTicks valueTicks(double low, double high)
{
    // Whole registers: a step of at least 1, from 1, 2 or 5 times a power of ten, giving at
    // most about five intervals.
    const double span = std::max(high - low, 1.0);
    double magnitude = 1;
    while (magnitude * 10 <= span / 4)
        magnitude *= 10;
    double step = magnitude;
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        step = magnitude * factor;
        if (span / step <= 5) break;
    }
    ValueTicks ticks;
    ticks.low = std::floor(low / step) * step;
    ticks.high = std::ceil(high / step) * step;
    if (ticks.high <= ticks.low) ticks.high = ticks.low + step;
    ticks.count = int(std::lround((ticks.high - ticks.low) / step)) + 1;
    return ticks;
}

} // namespace trend
